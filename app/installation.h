#pragma once

#include <QString>

// Every file of the installation is addressed from the updater's own folder: the installation
// directory is that folder + "/../", kept as text without normalisation.
QString updaterDirectory();
QString installationDirectory();

// Whether a path named by the update service stays inside the installation once appended to it:
// not empty, not absolute (also not "/", "\" or a drive letter first) and without ".." segments.
bool isSafeRelativePath(const QString &path);
