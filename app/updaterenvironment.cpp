#include "app/updaterenvironment.h"

#include <QCoreApplication>

namespace {
UpdaterEnvironment &instance()
{
    static UpdaterEnvironment environment;
    return environment;
}
}

QString UpdaterEnvironment::updaterDir() const
{
    return updaterDirectory.isEmpty() ? QCoreApplication::applicationDirPath() : updaterDirectory;
}

QDateTime UpdaterEnvironment::now() const
{
    return fixedTime.isValid() ? fixedTime : QDateTime::currentDateTime();
}

const UpdaterEnvironment &UpdaterEnvironment::current()
{
    return instance();
}

void UpdaterEnvironment::setForTesting(const UpdaterEnvironment &environment)
{
    instance() = environment;
}
