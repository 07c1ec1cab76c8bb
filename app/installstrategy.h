#pragma once

#include <QCoreApplication>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>

#include "app/releaseswap.h"
#include "manifest/versionentry.h"
#include "protocol/signedrelease.h"

class TempFolder;

// How a run's downloaded files go in. The run hands each file over as it arrives and asks for the
// end once the last has had its turn; what happens between is the strategy's alone.
class InstallStrategy
{
public:
    virtual ~InstallStrategy() = default;

    // Whether a file that arrives before its turn is worth syncing at once.
    virtual bool syncsEachFile() const = 0;
    // The verified download in tempPath is the file at targetPath: put in place or kept for finish().
    virtual bool place(const QString &tempPath, const QString &targetPath) = 0;
    // The file just placed takes the release's modification time.
    virtual void stamp(const QString &targetPath, const QDateTime &time) = 0;
    // After the last file; filesFailed: not every file was placed. Writes version.xml when all
    // were. False, saying why, when this step failed; failedFile() then names the file at fault.
    virtual bool finish(bool filesFailed) = 0;

    QString errorString() const { return error; }
    QString failedFile() const { return failed; }

protected:
    QString error;
    QString failed;
};

// The base format: each file is put in place right after its download, version.xml at the end.
class PerFileInstall : public InstallStrategy
{
    Q_DECLARE_TR_FUNCTIONS(PerFileInstall)

public:
    PerFileInstall(const QString &installDir, TempFolder *folder, const QString &versionXml);

    bool syncsEachFile() const override { return true; }
    bool place(const QString &tempPath, const QString &targetPath) override;
    void stamp(const QString &targetPath, const QDateTime &time) override;
    bool finish(bool filesFailed) override;

private:
    QString installDir;
    TempFolder *folder;
    QString versionXml;
    QSet<QString> placedFolders; // whose renames must reach the disk before version.xml
};

// A signed listing: every file is staged, and only once all have arrived and verified does the
// whole release go in, in one journaled step that is rolled back on any failure.
class WholeReleaseInstall : public InstallStrategy
{
    Q_DECLARE_TR_FUNCTIONS(WholeReleaseInstall)

public:
    WholeReleaseInstall(const QString &installDir, const QString &updaterDir, TempFolder *folder,
                        const SignedRelease &release, const QMap<QString, VersionEntry> &files,
                        const QString &versionXml);

    bool syncsEachFile() const override { return false; }
    bool place(const QString &tempPath, const QString &targetPath) override;
    void stamp(const QString &targetPath, const QDateTime &time) override;
    bool finish(bool filesFailed) override;

private:
    QString installDir;
    QString updaterDir;
    TempFolder *folder;
    qint64 sequence;
    QString versionXml;
    QHash<QString, const SignedRelease::Content *> contents; // by target, what the listing says of it
    QList<ReleaseSwap::File> staged;
};
