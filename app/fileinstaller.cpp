#include "app/fileinstaller.h"

#include "app/installation.h"

FileInstaller::FileInstaller(const QString &installDir, const QString &downloadUrl, Steps steps, int ahead)
    : installDir(installDir)
    , downloadUrl(downloadUrl)
    , steps(std::move(steps))
    , ahead(ahead)
{
}

FileInstaller::Outcome FileInstaller::install(const QStringList &paths, int index)
{
    for (int next = index; next <= index + ahead && next < paths.size(); ++next) {
        if (!begun.contains(next))
            begun.insert(next, begin(paths.at(next)));
    }
    const Begun file = begun.take(index);
    if (file.tempPath.isEmpty())
        return file.failure;
    QString reason;
    if (!steps.download(downloadUrl + "/" + paths.at(index), file.tempPath, &reason))
        return {DownloadFailed, reason};
    if (!steps.replace(file.tempPath, installDir + paths.at(index)))
        return {ReplaceFailed, QString()};
    return {Installed, QString()};
}

FileInstaller::Begun FileInstaller::begin(const QString &path) const
{
    // The service's paths are not trusted: nothing may land outside the installation, and a file
    // without a temporary name must not reach the installed target.
    if (!isSafeRelativePath(path))
        return {QString(), {DownloadFailed, tr("unsafe file path")}};
    const QString tempPath = steps.tempFileName();
    if (tempPath.isEmpty())
        return {QString(), {DownloadFailed, tr("no temporary file could be made")}};
    if (ahead > 0)
        steps.begin(downloadUrl + "/" + path, tempPath);
    return {tempPath, {}};
}
