#include "app/fileinstaller.h"

#include "app/installation.h"

FileInstaller::FileInstaller(const QString &installDir, const QString &downloadUrl, Steps steps)
    : installDir(installDir)
    , downloadUrl(downloadUrl)
    , steps(std::move(steps))
{
}

FileInstaller::Outcome FileInstaller::install(const QString &path, const ContentCheck &expected,
                                              const QDateTime &releaseTime) const
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
    // The installed copy then compares with the release's time as like with like, whatever the
    // time zones of the service and of this machine: read back, it is exactly the release's time.
    if (releaseTime.isValid())
        steps.stamp(installDir + path, releaseTime);
    return {Installed, QString()};
}
