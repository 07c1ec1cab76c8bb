#pragma once

#include <QDateTime>
#include <QString>

#include "app/updaterenvironment.h"

// The surroundings of a run inside a suite: the updater's folder, the clock when given, and no
// process ended but the suite's own (none), so that suites running side by side never end each
// other's programs.
UpdaterEnvironment testEnvironment(const QString &updaterDirectory, const QDateTime &fixedTime = QDateTime());
