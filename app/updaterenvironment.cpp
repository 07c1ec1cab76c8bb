#include "app/updaterenvironment.h"


#include "protocol/signedrelease.h"
#include "updaterconfig.h"

namespace {
UpdaterEnvironment &instance()
{
    static UpdaterEnvironment environment;
    return environment;
}
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
