#pragma once

#include <QCoreApplication>
#include <QStringList>

// The update-service command line: keygen, publish and serve. Returns the process exit status.
class ServiceCommand
{
    Q_DECLARE_TR_FUNCTIONS(ServiceCommand)

public:
    static int run(const QStringList &arguments);

private:
    static int keygen(const QString &dir);
    static int publish(const QString &releaseDir, const QString &version);
    static int serve(const QString &releaseDir, const QString &keyFile, const QString &listen,
                     const QString &downloadUrl, const QString &tokensFile);
};
