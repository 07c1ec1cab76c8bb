#pragma once

#include <QCoreApplication>
#include <QStringList>

// The update-service command line: keygen, publish, serve and write-manifest. Returns the process
// exit status: 0 done, 1 failed, 2 not understood (with the usage).
class ServiceCommand
{
    Q_DECLARE_TR_FUNCTIONS(ServiceCommand)

public:
    static int run(const QStringList &arguments);
};
