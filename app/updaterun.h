#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "app/fileinstaller.h"
#include "app/updatelog.h"
#include "download/downloadpool.h"
#include "download/tempfolder.h"
#include "manifest/versionmanifest.h"
#include "protocol/configfile.h"
#include "protocol/outcomereport.h"
#include "protocol/signedrelease.h"

class InstallStrategy;
class UpgradeExchange;

// One update, from what a crash of the last one left to the main application started again.
// run() takes the steps in order: recover, query, plan, fetch, install, finish. It waits in nested
// event loops of its own, so the window stays live; cancel() ends the wait for the current
// download, and the run before the next file. Boxes and texts are the view's: the run says what
// happened through its signals.
class UpdateRun : public QObject
{
    Q_OBJECT

public:
    enum Result {
        Updated,          // every file in place and version.xml written
        Failed,           // a file or the install failed; version.xml names the old release
        NothingInstalled, // the query failed or found nothing out of date
        NoDownloadUrl,
        ProcessesRunning, // the main application could not be ended
        Cancelled,
    };
    Q_ENUM(Result)

    // The outcome report's one attempt, from the request to the whole answer.
    static constexpr int reportDeadlineMs = 3000;

    // What the query found. A reply replaces only what it names.
    struct Offer
    {
        QString downloadUrl;
        VersionManifest serverFiles;
        QMap<QString, VersionEntry> filesToUpdate;
        QMap<QString, QDateTime> releaseTimes; // each offered file's "modified_time"
        SignedRelease release; // verified; empty when no release key is trusted
    };

    UpdateRun(const UpdaterConfig &config, const QString &token, const std::string &publicKey, QObject *parent = nullptr);
    ~UpdateRun() override;

    Result run();
    void cancel();
    // Why the run ended as it did; empty when it updated.
    QString errorString() const { return error; }

    // The steps a run takes, also for one at a time.
    bool query();
    QString makeTempFileName();
    bool downloadFile(const QString &url, const QString &tempPath, const ContentCheck &expected);
    bool coverFile(const QString &tempPath, const QString &targetPath);
    void clearTempFolder();

    // Runs work on a thread of its own and waits for it in a nested loop, so that the window
    // stays live (progress, the close request) while whole files are read or decoded.
    static void aside(const std::function<void()> &work);

    Offer offer;

signals:
    void querying();
    void queried(); // and so no longer waiting to try again
    void planned(int files);
    void fileStarted(const QString &path);
    void downloadFailed(const QString &path);
    void fileInstalled(int done, int total);
    // The download waited for now, as far as it has come.
    void downloadTaken(const DownloadPool::Download &download);
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void retrying(int waitMs, int nextAttempt, int maxAttempts);
    void tokenRefused();
    void failed(const QString &text); // for an "Error" box
    void finished(UpdateRun::Result result);

private:
    void start();
    void recover();
    QList<FileInstaller::File> plan();
    int fetch(const QList<FileInstaller::File> &files);
    int reportLateFailures();
    bool installFiles(bool lastStep, bool allPlaced);
    void finish(bool installed, int fetched, int total);
    void startMainApplication();
    // The first outcome noted is the run's; later ones only follow from it.
    void noteOutcome(OutcomeReport::Outcome outcome, const QString &file = QString(), const QString &reason = QString(),
                     const QString &form = QString());
    void sendReport();
    Result end(Result result, const QString &text);
    void report(const QString &text);
    void beginDownload(const QString &url, const QString &tempPath, const ContentCheck &expected);
    QByteArray installedSha256(const QString &targetPath);
    void noteRetry(const QString &what, int waitMs, int nextAttempt, int maxAttempts, const QString &reason);
    bool decodeForm(const FileInstaller::Form &form, const QString &formPath, const QString &tempPath,
                    const QString &targetPath, const ContentCheck &expected, QString *reason);

    UpdaterConfig config;
    QString token;
    std::string publicKey;
    UpdateLog log;
    TempFolder tempFolder;
    DownloadPool downloads;
    QEventLoop loop;
    DownloadNetworkManager *downloadManager = nullptr; // the current download's
    std::unique_ptr<InstallStrategy> install;
    QString current; // the file being installed
    bool cancelled = false;
    std::atomic_bool stopReading{false}; // set with cancelled, read by work aside
    UpgradeExchange *exchange = nullptr; // while the query waits
    QString error;
    QElapsedTimer clock; // since the run started
    QString reportUrl;   // empty: the service asked for no report
    OutcomeReport outcomeReport;
    bool outcomeNoted = false;
};
