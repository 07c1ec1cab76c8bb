#include "app/updaterenvironment.h"

#include <QCoreApplication>

#include "protocol/signedrelease.h"
#include "updaterconfig.h"

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

QList<QByteArray> UpdaterEnvironment::builtInReleaseKeys()
{
    return SignedRelease::keysFromHex(QStringLiteral(UPDATER_RELEASE_KEY));
}

const UpdaterEnvironment &UpdaterEnvironment::current()
{
    return instance();
}

void UpdaterEnvironment::setForTesting(const UpdaterEnvironment &environment)
{
    instance() = environment;
}

UpdaterEnvironment UpdaterEnvironment::at(const QString &updaterDirectory, const QDateTime &fixedTime)
{
    UpdaterEnvironment environment;
    environment.updaterDirectory = updaterDirectory;
    environment.fixedTime = fixedTime;
    return environment;
}
