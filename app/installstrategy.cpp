#include "app/installstrategy.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QTimer>

#include <utility>

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

// Each file goes in soon after its download, in their order. Its bytes must be on disk before its
// rename; one pass serves every file that is ready within a moment (on Linux one sync of the file
// system, on Windows the files' flushes side by side), where one sync a file would make a release of
// thousands of small files wait on the disk thousands of times. Elsewhere each file is synced and
// put in place at once.
class PerFileInstall : public InstallStrategy
{
    Q_DECLARE_TR_FUNCTIONS(PerFileInstall)

public:
    PerFileInstall(const QString &versionXml, TempFolder *folder)
        : InstallStrategy(versionXml, folder)
    {
        due.setSingleShot(true);
        due.setInterval(gatherMs);
        due.callOnTimeout([this] { placeWaiting(); });
    }

    bool syncsEachFile() const override { return !oneSyncServesAll; }
    bool fetchesPastFailure() const override { return true; } // each file goes in on its own
    QString placed() const override { return QStringLiteral("installed"); }

    bool place(const QString &tempPath, const QString &targetPath) override
    {
        if (!oneSyncServesAll)
            return placeNow(tempPath, targetPath, true);
        // What can be refused at once is refused at once.
        if (tempPath.isEmpty() || folder->handle(tempPath) < 0 || QFileInfo(targetPath).isDir()
            || !LocalOperations::reachesTargetWithoutLinks(targetPath, installDir))
            return false;
        if (waiting.size() >= maxWaiting)
            placeWaiting();
        folder->close(tempPath); // opened again from its folder when it goes in: handles are few
        waiting.append({tempPath, targetPath, QDateTime()});
        if (!due.isActive())
            due.start();
        return true;
    }

    void stamp(const QString &targetPath, const QDateTime &time) override
    {
        if (!waiting.isEmpty() && waiting.last().targetPath == targetPath)
            waiting.last().time = time;
        else
            LocalOperations::setModificationTime(targetPath, time);
    }

    bool finish(bool filesFailed) override
    {
        placeWaiting();
        if (!LocalOperations::syncFolders(placedFolders))
            error = tr("the installed files could not be made durable");
        else if (!filesFailed && !anyLate && !Manifest::writeTextFile(versionXml, installDir + "version.xml"))
            error = tr("version.xml could not be written");
        return error.isEmpty();
    }

    QStringList takeLateFailures() override { return std::exchange(late, {}); }

private:
#if defined(Q_OS_LINUX) || defined(Q_OS_WIN)
    static constexpr bool oneSyncServesAll = true;
#else
    static constexpr bool oneSyncServesAll = false;
#endif
    static constexpr int gatherMs = 100;
    static constexpr int maxWaiting = 256;

    struct Waiting
    {
        QString tempPath;
        QString targetPath;
        QDateTime time;
    };

    bool placeNow(const QString &tempPath, const QString &targetPath, bool sync)
    {
        if (!LocalOperations::replaceFile(tempPath, targetPath, installDir, folder, sync))
            return false;
        placedFolders.insert(QFileInfo(targetPath).absolutePath());
        return true;
    }

    void placeWaiting()
    {
        due.stop();
        if (waiting.isEmpty())
            return;
        // Without the pass each file takes a sync of its own.
        QStringList paths;
        for (const Waiting &file : qAsConst(waiting))
            paths << file.tempPath;
        const bool durable = folder->makeDurable(paths);
        for (const Waiting &file : std::exchange(waiting, {})) {
            if (!placeNow(file.tempPath, file.targetPath, !durable)) {
                late << file.targetPath.mid(installDir.size());
                anyLate = true;
            } else if (file.time.isValid()) {
                LocalOperations::setModificationTime(file.targetPath, file.time);
            }
        }
    }

    QList<Waiting> waiting; // ready, in their order, for the next sync
    QTimer due;             // the moment the first of them has waited long enough
    QStringList late;       // not yet told
    bool anyLate = false;
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
    bool fetchesPastFailure() const override { return false; } // the release can no longer go in
    QString placed() const override { return QStringLiteral("staged"); } // in only once all are

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
        putBack = swap.everythingBack();
        error = putBack ? tr("%1; every file was put back").arg(swap.errorString())
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
