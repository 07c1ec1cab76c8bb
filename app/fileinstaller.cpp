#include "app/fileinstaller.h"

#include "app/installation.h"

#include <QFileInfo>
#include <QUrl>

FileInstaller::FileInstaller(const QString &installDir, const QString &downloadUrl, Steps steps, int ahead)
    : installDir(installDir)
    , downloadUrl(downloadUrl)
    , steps(std::move(steps))
    , ahead(ahead)
{
}

FileInstaller::Outcome FileInstaller::install(const QList<File> &files, int index)
{
    for (int next = index; next <= index + ahead && next < files.size(); ++next) {
        if (!begun.contains(next))
            begun.insert(next, begin(files.at(next)));
    }
    const Begun started = begun.take(index);
    if (started.tempPath.isEmpty())
        return started.failure;
    const File &file = files.at(index);
    QString reason;
    if (!steps.download(urlOf(file.path), started.tempPath, file.expected, &reason))
        return {DownloadFailed, reason};
    if (!steps.replace(started.tempPath, installDir + file.path))
        return {ReplaceFailed, QString()};
    folders.insert(QFileInfo(installDir + file.path).absolutePath());
    // The installed copy then compares with the release's time as like with like, whatever the
    // time zones of the service and of this machine: read back, it is exactly the release's time.
    if (file.releaseTime.isValid())
        steps.stamp(installDir + file.path, file.releaseTime);
    return {Installed, QString()};
}

// Each segment percent-encoded: a "#" or "%41" in a name must reach the server as written.
QString FileInstaller::urlOf(const QString &path) const
{
    QStringList segments = path.split('/');
    for (QString &segment : segments)
        segment = QString::fromLatin1(QUrl::toPercentEncoding(segment));
    return downloadUrl + "/" + segments.join('/');
}

FileInstaller::Begun FileInstaller::begin(const File &file) const
{
    // The service's paths are not trusted: nothing may land outside the installation, and a file
    // without a temporary name must not reach the installed target.
    if (!isSafeRelativePath(file.path))
        return {QString(), {DownloadFailed, tr("unsafe file path")}};
    const QString tempPath = steps.tempFileName();
    if (tempPath.isEmpty())
        return {QString(), {DownloadFailed, tr("no temporary file could be made")}};
    if (ahead > 0)
        steps.begin(urlOf(file.path), tempPath, file.expected);
    return {tempPath, {}};
}
