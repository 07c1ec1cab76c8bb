#pragma once

#include <QString>
#include <QStringList>

// Starts the updater as the main application must, and waits for it to end. The updater's manifest
// asks for administrator rights, which CreateProcess cannot give: for a caller without them it fails
// with ERROR_ELEVATION_REQUIRED, and only the shell's "runas" verb, which shows the elevation prompt,
// starts the updater then. The shared-memory segment must stay attached until the updater ends, so
// either way the start is waited for.
class UpdaterStart
{
public:
    enum Way { Direct, ThroughShell };

    // What ShellExecuteExW is handed: plain text, so that it reads the same on any platform.
    struct ShellRequest
    {
        QString verb;
        QString file;       // native separators
        QString parameters; // the arguments as one command line
        QString directory;  // the elevated process would otherwise start in the system's folder
    };

    // Whether a direct start that failed with this Windows error code is worth repeating through the shell.
    static bool needsElevation(unsigned long error);
    // The words joined as Windows programs split their command line again (CommandLineToArgvW):
    // quoted where a blank or quote needs it, backslashes before a quote doubled.
    static QString commandLine(const QStringList &words);
    static ShellRequest shellRequest(const QString &program, const QStringList &arguments, const QString &currentDir);

    // Starts the program (directly first unless way says otherwise, on Windows through the shell
    // when that needs elevation) and waits for it; false, saying why, when it could not be started
    // or crashed.
    bool run(const QString &program, const QStringList &arguments, Way way = Direct);
    int exitCode() const { return code; }
    QString errorString() const { return error; }

private:
    bool fail(const QString &text);
#ifdef Q_OS_WIN
    bool runDirect(const QString &program, const QStringList &arguments, unsigned long *startError);
    bool runThroughShell(const QString &program, const QStringList &arguments);
    bool waitFor(void *process);
#endif

    int code = -1;
    QString error;
};
