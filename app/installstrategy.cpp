#include "app/installstrategy.h"

#include <QFileInfo>

#include "app/localoperations.h"
#include "download/tempfolder.h"
#include "manifest/versionmanifest.h"

PerFileInstall::PerFileInstall(const QString &installDir, TempFolder *folder, const QString &versionXml)
    : installDir(installDir)
    , folder(folder)
    , versionXml(versionXml)
{
}

bool PerFileInstall::place(const QString &tempPath, const QString &targetPath)
{
    if (!LocalOperations::replaceFile(tempPath, targetPath, installDir, folder))
        return false;
    placedFolders.insert(QFileInfo(targetPath).absolutePath());
    return true;
}

void PerFileInstall::stamp(const QString &targetPath, const QDateTime &time)
{
    LocalOperations::setModificationTime(targetPath, time);
}

bool PerFileInstall::finish(bool filesFailed)
{
    if (!LocalOperations::syncFolders(placedFolders)) {
        error = tr("the installed files could not be made durable");
        return false;
    }
    if (!filesFailed && !Manifest::writeTextFile(versionXml, installDir + "version.xml")) {
        error = tr("version.xml could not be written");
        return false;
    }
    return true;
}

WholeReleaseInstall::WholeReleaseInstall(const QString &installDir, const QString &updaterDir, TempFolder *folder,
                                         const SignedRelease &release, const QMap<QString, VersionEntry> &files,
                                         const QString &versionXml)
    : installDir(installDir)
    , updaterDir(updaterDir)
    , folder(folder)
    , sequence(release.sequence())
    , versionXml(versionXml)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (const SignedRelease::Content *content = release.content(it.key()))
            contents.insert(installDir + it->path, content);
    }
}

bool WholeReleaseInstall::place(const QString &tempPath, const QString &targetPath)
{
    const SignedRelease::Content *content = contents.value(targetPath);
    staged.append({tempPath, targetPath, QDateTime(), content && content->executable, content ? content->size : 0,
                   content ? content->sha256 : QByteArray()});
    folder->close(tempPath); // opened again from its folder when it goes in
    return true;
}

void WholeReleaseInstall::stamp(const QString &, const QDateTime &time)
{
    staged.last().releaseTime = time;
}

bool WholeReleaseInstall::finish(bool filesFailed)
{
    if (filesFailed)
        return true;
    ReleaseSwap swap(installDir, updaterDir);
    if (swap.install(staged, folder, versionXml, sequence) && swap.commit())
        return true;
    error = swap.everythingBack() ? tr("%1; every file was put back").arg(swap.errorString())
                                  : tr("%1; the next start tries again").arg(swap.errorString());
    failed = swap.failedTarget().mid(installDir.size());
    return false;
}
