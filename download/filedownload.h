#pragma once

#include <QDateTime>

// Temporary file names carry the time they were made; tests fix that time to provoke taken names.
// A null time restores the clock.
void setTempFileTimeForTesting(const QDateTime &time);
