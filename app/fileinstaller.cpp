#include "app/fileinstaller.h"

#include "app/installation.h"

FileInstaller::FileInstaller(const QString &installDir, const QString &downloadUrl, Steps steps)
    : installDir(installDir)
    , downloadUrl(downloadUrl)
    , steps(std::move(steps))
{
}

FileInstaller::Outcome FileInstaller::install(const QString &path, const ContentCheck &expected) const
{
    // The service's paths are not trusted: nothing may land outside the installation, and a file
    // without a temporary name must not reach the installed target.
    if (!isSafeRelativePath(path))
        return {DownloadFailed, tr("unsafe file path")};
    const QString tempPath = steps.tempFileName();
    if (tempPath.isEmpty())
        return {DownloadFailed, tr("no temporary file could be made")};
    QString reason;
    if (!steps.download(downloadUrl + "/" + path, tempPath, expected, &reason))
        return {DownloadFailed, reason};
    if (!steps.replace(tempPath, installDir + path))
        return {ReplaceFailed, QString()};
    return {Installed, QString()};
}
