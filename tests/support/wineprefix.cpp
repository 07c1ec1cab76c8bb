#include "tests/support/wineprefix.h"

#include <QDebug>
#include <QDir>

WinePrefix::WinePrefix(const QProcessEnvironment &displayEnvironment)
    : env(displayEnvironment)
{
    env.insert("WINEPREFIX", dir.path());
    env.insert("WINEDEBUG", "-all");
    // No offer to install Mono or Gecko, which would wait for an answer.
    env.insert("WINEDLLOVERRIDES", "mscoree,mshtml=");
    env.remove("QT_PLUGIN_PATH");
}

WinePrefix::~WinePrefix()
{
    endAll();
}

bool WinePrefix::run(const QString &program, const QStringList &arguments, int timeoutMs, bool quiet) const
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
    }
    const bool fine = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!fine && !quiet)
        qWarning().noquote() << program << arguments.join(' ') << "failed:" << process.errorString()
                             << process.readAll();
    return fine;
}

bool WinePrefix::boot()
{
    return dir.isValid() && run("wine", {"wineboot", "--init"}, 120000);
}

void WinePrefix::start(QProcess &process, const QString &program, const QStringList &arguments,
                       const QString &workingDirectory) const
{
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(workingDirectory);
    process.start("wine", QStringList{program} + arguments);
}

void WinePrefix::endAll() const
{
    if (dir.isValid())
        run("wineserver", {"-k"}, 30000, true); // waits for the server to go; fails when none ran
}

QString WinePrefix::windowsPath(const QString &path)
{
    return "Z:" + QDir::cleanPath(QDir(path).absolutePath()).replace('/', '\\');
}
