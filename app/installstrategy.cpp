#include "app/installstrategy.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include "app/installation.h"
#include "app/localoperations.h"
#include "app/releaseswap.h"
#include "download/tempfolder.h"
#include "manifest/versionmanifest.h"
#include "protocol/signedrelease.h"

InstallStrategy::InstallStrategy(const QString &versionXml, TempFolder *folder)
    : installDir(Installation::installationDirectory())
    , versionXml(versionXml)
    , folder(folder)
{
}

namespace {

class PerFileInstall : public InstallStrategy
{
    Q_DECLARE_TR_FUNCTIONS(PerFileInstall)

public:
    using InstallStrategy::InstallStrategy;

    bool syncsEachFile() const override { return true; }

    bool place(const QString &tempPath, const QString &targetPath) override
    {
        if (!LocalOperations::replaceFile(tempPath, targetPath, installDir, folder))
            return false;
        placedFolders.insert(QFileInfo(targetPath).absolutePath());
        return true;
    }

    void stamp(const QString &targetPath, const QDateTime &time) override
    {
        LocalOperations::setModificationTime(targetPath, time);
    }

    bool finish(bool filesFailed) override
    {
        if (!LocalOperations::syncFolders(placedFolders))
            error = tr("the installed files could not be made durable");
        else if (!filesFailed && !Manifest::writeTextFile(versionXml, installDir + "version.xml"))
            error = tr("version.xml could not be written");
        return error.isEmpty();
    }

private:
    QSet<QString> placedFolders; // whose renames must reach the disk before version.xml
};

class WholeReleaseInstall : public InstallStrategy
{
    Q_DECLARE_TR_FUNCTIONS(WholeReleaseInstall)

public:
    WholeReleaseInstall(const SignedRelease &release, const QMap<QString, VersionEntry> &files,
                        const QString &versionXml, TempFolder *folder)
        : InstallStrategy(versionXml, folder)
        , sequence(release.sequence())
    {
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            if (const SignedRelease::Content *content = release.content(it.key()))
                contents.insert(installDir + it->path, content);
        }
    }

    bool syncsEachFile() const override { return false; }

    bool place(const QString &tempPath, const QString &targetPath) override
    {
        const SignedRelease::Content *content = contents.value(targetPath);
        staged.append({tempPath, targetPath, QDateTime(), content && content->executable,
                       content ? content->size : 0, content ? content->sha256 : QByteArray()});
        folder->close(tempPath); // opened again from its folder when it goes in
        return true;
    }

    void stamp(const QString &, const QDateTime &time) override { staged.last().releaseTime = time; }

    bool finish(bool filesFailed) override
    {
        if (filesFailed)
            return true;
        ReleaseSwap swap(installDir, Installation::updaterDirectory());
        if (swap.install(staged, folder, versionXml, sequence) && swap.commit())
            return true;
        error = swap.everythingBack() ? tr("%1; every file was put back").arg(swap.errorString())
                                      : tr("%1; the next start tries again").arg(swap.errorString());
        failed = swap.failedTarget().mid(installDir.size());
        return false;
    }

private:
    qint64 sequence;
    QHash<QString, const SignedRelease::Content *> contents; // by target, what the listing says of it
    QList<ReleaseSwap::File> staged;
};

} // namespace

std::unique_ptr<InstallStrategy> InstallStrategy::of(const SignedRelease &release, const QMap<QString, VersionEntry> &files,
                                                     const QString &versionXml, TempFolder *folder)
{
    if (release.sequence() > 0)
        return std::make_unique<WholeReleaseInstall>(release, files, versionXml, folder);
    return std::make_unique<PerFileInstall>(versionXml, folder);
}
