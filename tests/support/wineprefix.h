#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A private Wine prefix in which the Windows programs run: its own registry, drive C: and
// wineserver, so that its named objects and processes are no one else's.
class WinePrefix
{
public:
    // Wine's windows show on the display the environment names.
    explicit WinePrefix(const QProcessEnvironment &displayEnvironment);
    ~WinePrefix();

    // Creates the prefix; false (with Wine's output on the test log) when Wine is missing or fails.
    bool boot();
    QProcessEnvironment environment() const { return env; }
    QString driveC() const { return dir.filePath("drive_c"); }
    // Runs a Windows program in the prefix; process ends with the program.
    void start(QProcess &process, const QString &program, const QStringList &arguments,
               const QString &workingDirectory) const;
    // Ends every process of the prefix and waits for its wineserver to go.
    void endAll() const;
    // Adds the authority (a PEM file) to the machine's trusted roots, as a company's own is.
    bool trustAuthority(const QString &pemFile) const;

    // The path as Windows programs in the prefix name it: on drive Z:, with backslashes.
    static QString windowsPath(const QString &path);

private:
    bool run(const QString &program, const QStringList &arguments, int timeoutMs, bool quiet = false) const;

    QTemporaryDir dir;
    QProcessEnvironment env;
};
