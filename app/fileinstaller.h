#pragma once

#include <QCoreApplication>
#include <QMap>
#include <QString>
#include <QStringList>
#include <functional>

// Puts the files of a release in place one after the other: a temporary name, the download into
// it, the replacement of the installed file. The steps that wait or touch the disk are handed in,
// so that the rules between them hold the same for the window and for tests.
class FileInstaller
{
    Q_DECLARE_TR_FUNCTIONS(FileInstaller)

public:
    struct Steps
    {
        std::function<QString()> tempFileName; // empty when none can be had
        // Starts a download that `download` later waits for; only used when looking ahead.
        std::function<void(const QString &url, const QString &tempPath)> begin;
        // False when the download failed; *reason then says why.
        std::function<bool(const QString &url, const QString &tempPath, QString *reason)> download;
        std::function<bool(const QString &tempPath, const QString &targetPath)> replace;
    };

    enum Result { Installed, DownloadFailed, ReplaceFailed };
    struct Outcome
    {
        Result result = DownloadFailed;
        QString reason; // why the download failed
    };

    // ahead: how many of the following files' downloads are begun before their turn.
    FileInstaller(const QString &installDir, const QString &downloadUrl, Steps steps, int ahead = 0);

    // Puts paths[index] in place. The files are installed strictly in the order of paths; only
    // their downloads may run ahead.
    Outcome install(const QStringList &paths, int index);

private:
    struct Begun
    {
        QString tempPath; // empty: the file failed before its download
        Outcome failure;
    };
    Begun begin(const QString &path) const;

    QString installDir;
    QString downloadUrl;
    Steps steps;
    int ahead;
    QMap<int, Begun> begun; // by index in paths, until the file's turn
};
