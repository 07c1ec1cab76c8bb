#include "updaterstart.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>

#ifdef Q_OS_WIN
#include <windows.h> // first: shellapi.h builds on it
#include <shellapi.h>
#endif

namespace {

constexpr unsigned long errorElevationRequired = 740; // ERROR_ELEVATION_REQUIRED

QString quoted(const QString &word)
{
    static const QRegularExpression needsQuotes(QStringLiteral("[ \t\n\v\"]"));
    if (!word.isEmpty() && !word.contains(needsQuotes))
        return word;
    QString text = "\"";
    int backslashes = 0;
    for (const QChar c : word) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes count as such only before a quote: there each must be doubled, and the quote escaped.
        text += QString(c == '"' ? backslashes * 2 + 1 : backslashes, '\\') + c;
        backslashes = 0;
    }
    return text + QString(backslashes * 2, '\\') + '"'; // before the closing quote too
}

} // namespace

bool UpdaterStart::needsElevation(unsigned long error)
{
    return error == errorElevationRequired;
}

QString UpdaterStart::commandLine(const QStringList &words)
{
    QStringList line;
    for (const QString &word : words)
        line << quoted(word);
    return line.join(' ');
}

UpdaterStart::ShellRequest UpdaterStart::shellRequest(const QString &program, const QStringList &arguments,
                                                      const QString &currentDir)
{
    // Windows' separators whatever the platform, where QDir::toNativeSeparators() would keep "/".
    return {QStringLiteral("runas"), QString(program).replace('/', '\\'), commandLine(arguments),
            QString(currentDir).replace('/', '\\')};
}

bool UpdaterStart::fail(const QString &text)
{
    error = text;
    return false;
}

#ifdef Q_OS_WIN

bool UpdaterStart::run(const QString &program, const QStringList &arguments, Way way)
{
    if (way == Direct) {
        unsigned long startError = 0;
        if (runDirect(program, arguments, &startError))
            return true;
        if (!needsElevation(startError))
            return false;
    }
    return runThroughShell(program, arguments);
}

// As QProcess with forwarded channels would, but keeping the reason a start failed.
bool UpdaterStart::runDirect(const QString &program, const QStringList &arguments, unsigned long *startError)
{
    std::wstring line = commandLine(QStringList{QDir::toNativeSeparators(program)} + arguments).toStdWString();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &started)) {
        *startError = GetLastError();
        fail(qt_error_string(int(*startError)));
        return false;
    }
    CloseHandle(started.hThread);
    return waitFor(started.hProcess);
}

bool UpdaterStart::runThroughShell(const QString &program, const QStringList &arguments)
{
    error.clear();
    const ShellRequest request = shellRequest(program, arguments, QDir::currentPath());
    const std::wstring verb = request.verb.toStdWString(), file = request.file.toStdWString(),
                       parameters = request.parameters.toStdWString(), directory = request.directory.toStdWString();
    SHELLEXECUTEINFOW shell{};
    shell.cbSize = sizeof shell;
    // The process handle to wait on; no return before the start is done.
    shell.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
    shell.lpVerb = verb.c_str();
    shell.lpFile = file.c_str();
    shell.lpParameters = parameters.c_str();
    shell.lpDirectory = directory.c_str();
    shell.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&shell))
        return fail(GetLastError() == ERROR_CANCELLED ? QStringLiteral("the elevation was declined")
                                                      : qt_error_string(int(GetLastError())));
    if (!shell.hProcess)
        return fail(QStringLiteral("the shell gave no process to wait for"));
    return waitFor(shell.hProcess);
}

bool UpdaterStart::waitFor(void *process)
{
    DWORD exit = 0;
    const bool ended = WaitForSingleObject(process, INFINITE) == WAIT_OBJECT_0 && GetExitCodeProcess(process, &exit);
    CloseHandle(process);
    if (!ended)
        return fail(qt_error_string(int(GetLastError())));
    code = int(exit);
    // An exception code, as QProcess reads it: the process did not end by itself.
    return exit < 0x80000000u || fail(QStringLiteral("the updater crashed"));
}

#else

bool UpdaterStart::run(const QString &program, const QStringList &arguments, Way way)
{
    if (way == ThroughShell)
        return fail(QStringLiteral("elevation through the shell is Windows' own"));
    QProcess updater;
    updater.setProcessChannelMode(QProcess::ForwardedChannels);
    updater.start(program, arguments);
    if (!updater.waitForStarted(-1))
        return fail(updater.errorString());
    updater.waitForFinished(-1);
    if (updater.exitStatus() != QProcess::NormalExit)
        return fail(QStringLiteral("the updater crashed"));
    code = updater.exitCode();
    return true;
}

#endif
