#include "app/updaterenvironment.h"


#include "protocol/signedrelease.h"
#include "updaterconfig.h"

namespace {
UpdaterEnvironment &instance()
{
    static UpdaterEnvironment environment;
    return environment;
}

QStringList &ownVariables()
{
    static QStringList names;
    return names;
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

void UpdaterEnvironment::setOwnVariable(const char *name, const QByteArray &value)
{
    if (qEnvironmentVariableIsSet(name))
        return;
    qputenv(name, value);
    ownVariables() << QString::fromLatin1(name);
}

QProcessEnvironment UpdaterEnvironment::mainApplicationEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString &name : qAsConst(ownVariables()))
        environment.remove(name);
    return environment;
}

const UpdaterEnvironment &UpdaterEnvironment::current()
{
    return instance();
}

void UpdaterEnvironment::setForTesting(const UpdaterEnvironment &environment)
{
    instance() = environment;
}
