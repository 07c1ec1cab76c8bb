#include "tests/support/testenvironment.h"

UpdaterEnvironment testEnvironment(const QString &updaterDirectory, const QDateTime &fixedTime)
{
    UpdaterEnvironment environment;
    environment.updaterDirectory = updaterDirectory;
    environment.fixedTime = fixedTime;
    environment.endProcesses = [](const char *) { return true; };
    return environment;
}
