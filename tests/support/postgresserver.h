#pragma once

#include <QString>
#include <QTemporaryDir>

// A PostgreSQL server of the test's own, in a temporary folder, reached through a unix socket
// there: no port. It refuses to run as root, so as root it runs as nobody. Stopped with the object.
class PostgresServer
{
public:
    PostgresServer();
    ~PostgresServer();

    // False, with the reason in errorString(), when no server could be started here.
    bool start();
    // postgresql://postgres@/postgres?host=SOCKET-FOLDER
    QString url() const;
    QString errorString() const { return error; }

private:
    bool runTool(const QString &tool, const QStringList &arguments);

    QTemporaryDir dir;
    QString error;
    bool running = false;
};
