#pragma once

#include <QDateTime>
#include <QMap>
#include <QString>
#include <QStringList>
#include <memory>

#include "manifest/versionentry.h"

class SignedRelease;
class TempFolder;

// How a run's downloaded files go in. The run hands each file over as it arrives and asks for the
// end once the last has had its turn; what happens between is the strategy's alone.
class InstallStrategy
{
public:
    InstallStrategy(const QString &versionXml, TempFolder *folder);
    virtual ~InstallStrategy() = default;

    // The strategy for what the query found: a signed listing goes in as a whole release, every
    // file staged first and moved in, journaled, only once all have arrived; without one each file
    // is put in place right after its download.
    static std::unique_ptr<InstallStrategy> of(const SignedRelease &release, const QMap<QString, VersionEntry> &files,
                                               const QString &versionXml, TempFolder *folder);

    // Whether a file that arrives before its turn is worth syncing at once.
    virtual bool syncsEachFile() const = 0;
    // Whether the files after one that failed for good are still worth fetching.
    virtual bool fetchesPastFailure() const = 0;
    // What place() did, in the log's words.
    virtual QString placed() const = 0;
    // The verified download in tempPath is the file at targetPath: put in place or kept for finish().
    virtual bool place(const QString &tempPath, const QString &targetPath) = 0;
    // The file just placed takes the release's modification time.
    virtual void stamp(const QString &targetPath, const QDateTime &time) = 0;
    // After the last file; filesFailed: not every file was placed. Writes version.xml when all
    // were. False, saying why, when this step failed; failedFile() then names the file at fault.
    virtual bool finish(bool filesFailed) = 0;
    // Files place() took that could not be put in place after all, since the last call.
    virtual QStringList takeLateFailures() { return {}; }

    QString errorString() const { return error; }
    QString failedFile() const { return failed; }
    // Whether the failed last step put every file back as it was.
    bool rolledBack() const { return putBack; }

protected:
    const QString installDir;
    const QString versionXml; // written once every file is in place
    TempFolder *const folder; // where the downloads are
    QString error;
    QString failed;
    bool putBack = false;
};
