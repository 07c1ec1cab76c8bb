#pragma once

#include <QCoreApplication>
#include <QDateTime>
#include <QString>
#include <functional>

#include "download/contentcheck.h"

// Puts one file of the release in place: a temporary name, the download into it, the replacement
// of the installed file. The steps that wait or touch the disk are handed in, so that the rules
// between them hold the same for the window and for tests.
class FileInstaller
{
    Q_DECLARE_TR_FUNCTIONS(FileInstaller)

public:
    struct Steps
    {
        std::function<QString()> tempFileName; // empty when none can be had
        // False when the download failed or its bytes are not the expected ones; *reason then says why.
        std::function<bool(const QString &url, const QString &tempPath, const ContentCheck &expected, QString *reason)>
            download;
        std::function<bool(const QString &tempPath, const QString &targetPath)> replace;
        // Gives the installed file the release's modification time.
        std::function<void(const QString &targetPath, const QDateTime &time)> stamp;
    };

    enum Result { Installed, DownloadFailed, ReplaceFailed };
    struct Outcome
    {
        Result result = DownloadFailed;
        QString reason; // why the download failed
    };

    FileInstaller(const QString &installDir, const QString &downloadUrl, Steps steps);

    // releaseTime: the release's "modified_time" of the file, invalid when it gave none.
    Outcome install(const QString &path, const ContentCheck &expected, const QDateTime &releaseTime) const;

private:
    QString installDir;
    QString downloadUrl;
    Steps steps;
};
