#pragma once

#include <QString>

// Every file of the installation is addressed from the updater's own folder: the installation
// directory is that folder + "/../", kept as text without normalisation.
QString updaterDirectory();
QString installationDirectory();

// In-process tests cannot move their executable into an installation tree; they point the
// updater's folder elsewhere instead. An empty text restores the executable's folder.
void setUpdaterDirectoryForTesting(const QString &dir);
