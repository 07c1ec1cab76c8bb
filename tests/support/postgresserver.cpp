#include "tests/support/postgresserver.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <pwd.h>
#include <unistd.h>

namespace {
const QString binaries = "/usr/lib/postgresql/15/bin/";
}

// Not below TMPDIR: a suite's own temporary folder admits its user alone, and the server's user must
// reach its data folder and socket.
PostgresServer::PostgresServer()
    : dir(QStringLiteral("/tmp/tst-postgres-XXXXXX"))
{
}

PostgresServer::~PostgresServer()
{
    if (running)
        runTool("pg_ctl", {"stop", "-D", dir.filePath("data"), "-m", "immediate", "-w"});
}

bool PostgresServer::runTool(const QString &tool, const QStringList &arguments)
{
    QString program = binaries + tool;
    QStringList words = arguments;
    if (::geteuid() == 0) {
        words.prepend(program);
        words = QStringList{"--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"} + words;
        program = "setpriv";
    }
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setWorkingDirectory(dir.path());
    process.start(program, words);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        error = QString("%1 failed: %2 %3").arg(tool, process.errorString(), QString::fromLocal8Bit(process.readAll()));
        return false;
    }
    return true;
}

bool PostgresServer::start()
{
    if (!QFile::exists(binaries + "initdb")) {
        error = "PostgreSQL 15 is not installed (" + binaries + "initdb)";
        return false;
    }
    if (!dir.isValid()) {
        error = "no temporary folder";
        return false;
    }
    if (::geteuid() == 0) {
        const passwd *nobody = ::getpwnam("nobody");
        if (!nobody || ::chown(QFile::encodeName(dir.path()).constData(), nobody->pw_uid, nobody->pw_gid) != 0) {
            error = "the temporary folder cannot be given to nobody";
            return false;
        }
    }
    // The folders above it must let the server's user through.
    QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeGroup
                                          | QFile::ExeOther);
    if (!runTool("initdb", {"-D", dir.filePath("data"), "-U", "postgres", "--auth=trust", "--no-sync", "-E", "UTF8"}))
        return false;
    running = runTool("pg_ctl", {"start", "-D", dir.filePath("data"), "-w", "-t", "60", "-l", dir.filePath("server.log"),
                                 "-o", QString("-k %1 -c listen_addresses= -c fsync=off").arg(dir.path())});
    return running;
}

QString PostgresServer::url() const
{
    return "postgresql://postgres@/postgres?host=" + dir.path();
}
