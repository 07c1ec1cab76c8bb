#include "app/updaterun.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <QUrl>

#include "app/installation.h"
#include "app/installstrategy.h"
#include "app/localoperations.h"
#include "app/proxysetting.h"
#include "app/releaseswap.h"
#include "app/updaterenvironment.h"
#include "download/formdecoder.h"
#include "manifest/releasestate.h"
#include "protocol/upgradeexchange.h"
#include "protocol/upgradereply.h"

UpdateRun::UpdateRun(const UpdaterConfig &config, const QString &token, const std::string &publicKey, QObject *parent)
    : QObject(parent)
    , config(config)
    , token(token)
    , publicKey(publicKey)
    , downloads(this)
{
    connect(&downloads, &DownloadPool::downloadProgress, this, &UpdateRun::downloadProgress);
    connect(&downloads, &DownloadPool::retrying, this,
            [this](int waitMs, int nextAttempt, int maxAttempts, const QString &reason) {
                noteRetry("file " + current, waitMs, nextAttempt, maxAttempts, reason);
            });
}

UpdateRun::~UpdateRun() = default;

void UpdateRun::cancel()
{
    cancelled = true;
    stopReading = true;
    if (exchange)
        exchange->cancel();
    loop.quit();
}

UpdateRun::Result UpdateRun::run()
{
    start();
    if (!UpdaterEnvironment::current().endProcesses("Trelvox.exe"))
        return end(ProcessesRunning, tr("a running Trelvox.exe could not be ended"));
    recover();
    if (!query())
        return end(NothingInstalled, tr("nothing installed"));
    if (offer.downloadUrl.isEmpty()) {
        noteOutcome(OutcomeReport::QueryFailed, QString(), tr("the reply gives no download URL"));
        return end(NoDownloadUrl, tr("the reply gives no download URL"));
    }
    const QList<FileInstaller::File> files = plan();
    int fetched = fetch(files);
    if (fetched < 0) {
        for (const QString &path : downloads.abandonAll()) // those begun ahead of their turn
            tempFolder.remove(path);
        install->finish(true); // what was taken goes in, as every file before it did
        noteOutcome(OutcomeReport::Closed);
        return end(Cancelled, tr("the window was closed"));
    }
    downloads.waitForSyncs(); // a program cannot be started while another handle may write it
    const bool allFetched = fetched == files.size();
    const bool lastStep = install->finish(!allFetched);
    if (const int late = reportLateFailures())
        emit fileInstalled(fetched -= late, files.size());
    const bool installed = installFiles(lastStep, fetched == files.size());
    finish(installed, fetched, files.size());
    noteOutcome(installed ? OutcomeReport::Installed : OutcomeReport::SwapFailed);
    emit finished(installed ? Updated : Failed);
    sendReport();
    return installed ? Updated : Failed;
}

UpdateRun::Result UpdateRun::end(Result result, const QString &text)
{
    error = text;
    log.write("run: " + text);
    // Ended at the start of the run, so started again when config.xml asks for it.
    if (config.restartAlways && result != ProcessesRunning)
        startMainApplication();
    emit finished(result);
    sendReport();
    return result;
}

void UpdateRun::start()
{
    // Named relative to the updater's folder, like config.xml itself.
    const QString logPath = config.log.isEmpty() ? QString() : QDir(Installation::updaterDirectory()).absoluteFilePath(config.log);
    if (!log.open(logPath))
        qWarning("the log %s is not written (%s); the run goes on without it", qPrintable(logPath),
                 qPrintable(log.errorString()));
    log.write("run: started");
    clock.start();
    ProxySetting proxy;
    if (!proxy.apply(config.proxy))
        log.write("run: config.xml's Proxy: " + proxy.errorString() + "; no proxy used");
    else if (!proxy.description().isEmpty())
        log.write("run: proxy: " + proxy.description());
}

// Before anything else: an install a crash cut short is finished or undone.
void UpdateRun::recover()
{
    for (const QString &line : ReleaseSwap::recover(Installation::installationDirectory(), Installation::updaterDirectory()))
        log.write("run: " + line);
}

bool UpdateRun::query()
{
    UpgradeExchange exchange(UpdaterEnvironment::current().queryLimits);
    QJsonObject answer;
    const QString endpoint = Installation::upgradeEndpoint(config);
    exchange.setRetryNotice([this, &endpoint](int waitMs, int nextAttempt, int maxAttempts, const QString &reason) {
        noteRetry("query " + endpoint, waitMs, nextAttempt, maxAttempts, reason);
    });
    emit querying();
    this->exchange = &exchange;
    if (cancelled)
        exchange.cancel();
    const bool answered = exchange.run(endpoint, token, publicKey, &answer);
    this->exchange = nullptr;
    emit queried();
    if (!answered) {
        log.write(QString("query %1: failed: %2").arg(endpoint, exchange.errorString()));
        return false;
    }

    const UpgradeReply reply = readUpgradeReply(answer);
    const QString installDir = Installation::installationDirectory();
    // Only a reply that holds the request key may say where a report goes.
    const QUrl reportTo = QUrl(endpoint).resolved(QUrl(answer.value(OutcomeReport::urlMember).toString()));
    if (answer.value(OutcomeReport::urlMember).isString() && isDownloadableUrl(reportTo) && exchange.authentic(false)) {
        reportUrl = reportTo.toString();
        outcomeReport.ticket = answer.value(OutcomeReport::ticketMember).toString();
        outcomeReport.installedSequence = Manifest::readReleaseSequence(installDir + "release.state");
    }
    if (reply.rejected) {
        log.write(QString("query %1: the token was refused").arg(endpoint));
        emit tokenRefused();
        return false;
    }
    const UpdaterEnvironment &environment = UpdaterEnvironment::current();
    const bool verifying = !environment.releaseKeys.isEmpty();
    SignedRelease &release = offer.release;
    QString unverified;
    if (!exchange.authentic(verifying))
        unverified = exchange.errorString();
    else if (verifying
             && !release.verify(reply.release, reply.releaseSignature, environment.releaseKeys,
                                environment.now().toUTC(), Manifest::readReleaseSequence(installDir + "release.state"))) {
        if (release.olderThanInstalled()) {
            log.write(QString("query %1: nothing newer: %2").arg(endpoint, release.errorString()));
            noteOutcome(OutcomeReport::NothingNewer);
            return false;
        }
        unverified = release.errorString();
    }
    if (!unverified.isEmpty()) {
        log.write(QString("query %1: not verified: %2").arg(endpoint, unverified));
        noteOutcome(OutcomeReport::CheckFailed, QString(), unverified);
        emit failed(tr("The update could not be verified: %1.").arg(unverified));
        return false;
    }
    if (reply.hasDownloadUrl && !isDownloadableUrl(reply.downloadUrl)) {
        log.write(QString("query %1: refused download_url %2: not http or https").arg(endpoint, reply.downloadUrl));
        noteOutcome(OutcomeReport::QueryFailed, QString(), "refused download_url: not http or https");
        emit failed(tr("The update service named a download address that is neither http nor https."));
        return false;
    }
    if (reply.hasDownloadUrl)
        offer.downloadUrl = reply.downloadUrl;
    if (!verifying && !reply.hasFiles) {
        log.write(QString("query %1: the reply lists no files").arg(endpoint));
        noteOutcome(OutcomeReport::QueryFailed, QString(), "the reply lists no files");
        return false;
    }
    // Once a release is verified, nothing but its signed listing names files.
    const QMap<QString, RemoteFileEntry> &offered = verifying ? release.files() : reply.offered;
    if (verifying)
        outcomeReport.offeredSequence = release.sequence();
    for (const RemoteFileEntry &file : offered) {
        offer.serverFiles.insert(file.entry.path, file.entry);
        offer.releaseTimes.insert(file.entry.path, file.modifiedTime);
    }

    offer.filesToUpdate = outOfDateFiles(offered, Installation::readInstalledState(installDir + "version.xml", installDir));
    log.write(QString("query %1: %2 files offered%3, %4 out of date")
                  .arg(endpoint).arg(offered.size()).arg(verifying ? QString(" (signed release %1)").arg(release.sequence()) : QString())
                  .arg(offer.filesToUpdate.size()));
    // The installation already is this release: recorded now, so that an older listing replayed
    // later is refused as it would be after an install.
    if (verifying && offer.filesToUpdate.isEmpty() && release.sequence() > Manifest::readReleaseSequence(installDir + "release.state"))
        Manifest::writeReleaseSequence(installDir + "release.state", release.sequence());
    if (offer.filesToUpdate.isEmpty())
        noteOutcome(OutcomeReport::NothingNewer);
    return !offer.filesToUpdate.isEmpty();
}

QList<FileInstaller::File> UpdateRun::plan()
{
    install = InstallStrategy::of(offer.release, offer.filesToUpdate, Manifest::versionManifestToXml(offer.serverFiles),
                                  &tempFolder);
    downloads.setSyncAhead(install->syncsEachFile());

    QList<FileInstaller::File> files;
    for (auto it = offer.filesToUpdate.cbegin(); it != offer.filesToUpdate.cend(); ++it) {
        const SignedRelease::Content *content = offer.release.content(it.key());
        files.append({it->path, content ? ContentCheck(content->size, content->sha256) : ContentCheck(),
                      offer.releaseTimes.value(it.key()),
                      content ? FileInstaller::formsFor(*content) : QList<FileInstaller::Form>()});
    }
    emit planned(files.size());
    return files;
}

// The files in their order; the number put in place, or -1 when the run was cancelled.
int UpdateRun::fetch(const QList<FileInstaller::File> &files)
{
    // One more is begun than config.xml's Prefetch runs: it waits for the one before to end well
    // and then goes out at once, while that file is still being put in place.
    downloads.setMaxRunning(config.prefetch + 1);
    FileInstaller installer(Installation::installationDirectory(), offer.downloadUrl, {
        [this] { return makeTempFileName(); },
        [this](const QString &url, const QString &tempPath, const ContentCheck &expected) {
            beginDownload(url, tempPath, expected);
        },
        [this](const QString &url, const QString &tempPath, const ContentCheck &expected, QString *reason) {
            const bool downloaded = downloadFile(url, tempPath, expected);
            if (!downloaded)
                *reason = downloadManager->errorString();
            return downloaded;
        },
        [this](const FileInstaller::Form &form, const QString &formPath, const QString &tempPath,
               const QString &targetPath, const ContentCheck &expected, QString *reason) {
            return decodeForm(form, formPath, tempPath, targetPath, expected, reason);
        },
        [this](const QString &formPath) { tempFolder.remove(formPath); },
        [this](const QString &tempPath, const QString &targetPath) { return install->place(tempPath, targetPath); },
        [this](const QString &targetPath, const QDateTime &time) { install->stamp(targetPath, time); },
        [this](const QString &targetPath) { return installedSha256(targetPath); }},
        config.prefetch + 1);

    const QStringList keys = offer.filesToUpdate.keys();
    int done = 0;
    for (int index = 0; index < keys.size(); ++index) {
        if (cancelled)
            return -1;
        current = keys.at(index);
        emit fileStarted(current);
        const FileInstaller::Outcome outcome = installer.install(files, index);
        for (const QString &skipped : outcome.skipped)
            log.write(QString("file %1: skipped %2").arg(current, skipped));
        if (outcome.result == FileInstaller::DownloadFailed) {
            log.write(QString("file %1: download failed: %2").arg(current, outcome.reason));
            QStringList forms; // tried before the file itself, each "PATH: why"
            for (const QString &skipped : outcome.skipped)
                forms << skipped.section(": ", 0, 0);
            noteOutcome(OutcomeReport::DownloadFailed, current, outcome.reason, forms.join(", "));
            emit downloadFailed(current);
            report(QObject::tr("%1: download file [%2] failed!").arg(outcome.reason, current));
            if (!install->fetchesPastFailure() && !cancelled) {
                for (const QString &path : downloads.abandonAll())
                    tempFolder.remove(path);
                log.write(QString("run: nothing more fetched: the release cannot go in without %1").arg(current));
                return done;
            }
        } else if (outcome.result == FileInstaller::ReplaceFailed) {
            log.write(QString("file %1: could not be put in place").arg(current));
            noteOutcome(OutcomeReport::SwapFailed, current, "could not be put in place");
            report(QObject::tr("Error: cover file [%1] failed!").arg(current));
        } else {
            log.write(outcome.form.isEmpty() ? QString("file %1: %2").arg(current, install->placed())
                                             : QString("file %1: %2 from %3").arg(current, install->placed(), outcome.form));
            emit fileInstalled(++done, files.size());
        }
        if (const int late = reportLateFailures())
            emit fileInstalled(done -= late, files.size());
    }
    return done;
}

// Files taken for a later rename that it refused: each fails as if at its own turn.
int UpdateRun::reportLateFailures()
{
    const QStringList late = install->takeLateFailures();
    for (const QString &path : late) {
        log.write(QString("file %1: could not be put in place").arg(path));
        noteOutcome(OutcomeReport::SwapFailed, path, "could not be put in place");
        report(QObject::tr("Error: cover file [%1] failed!").arg(path));
    }
    return late.size();
}

// False when not every file is in place, or the install's last step failed.
bool UpdateRun::installFiles(bool lastStep, bool allPlaced)
{
    if (lastStep)
        return allPlaced;
    log.write("run: " + install->errorString());
    error = install->errorString();
    noteOutcome(install->rolledBack() ? OutcomeReport::RolledBack : OutcomeReport::SwapFailed, install->failedFile(),
                install->errorString());
    if (!install->failedFile().isEmpty())
        report(QObject::tr("Error: cover file [%1] failed!").arg(install->failedFile()));
    return false;
}

void UpdateRun::finish(bool installed, int fetched, int total)
{
    // Every file arrived and still none went in: the last step failed, and says why.
    log.write(installed         ? QString("version.xml: written")
              : fetched == total ? QString("version.xml: not written: %1").arg(error)
                                 : QString("version.xml: not written, %1 of %2 files failed").arg(total - fetched).arg(total));
    if (!installed && error.isEmpty())
        error = tr("%1 of %2 files failed").arg(total - fetched).arg(total);
    if (installed || token == QLatin1String("NoToken") || config.restartAlways)
        startMainApplication();
    else
        log.write("main application: not started");
}

void UpdateRun::startMainApplication()
{
    const QString installDir = Installation::installationDirectory();
    QProcess mainApplication;
    mainApplication.setProgram(installDir + "Trelvox.exe");
    mainApplication.setWorkingDirectory(installDir);
    mainApplication.setProcessEnvironment(UpdaterEnvironment::mainApplicationEnvironment());
    const bool started = mainApplication.startDetached();
    log.write(started ? "main application: started" : "main application: could not be started");
}

// A box for the view, unless the run is being cancelled: nobody is looking any more.
void UpdateRun::report(const QString &text)
{
    if (!cancelled)
        emit failed(text);
}

void UpdateRun::noteRetry(const QString &what, int waitMs, int nextAttempt, int maxAttempts, const QString &reason)
{
    const int seconds = (waitMs + 999) / 1000;
    log.write(QString("%1: %2; attempt %3 of %4 in %5 s").arg(what, reason).arg(nextAttempt).arg(maxAttempts).arg(seconds));
    emit retrying(waitMs, nextAttempt, maxAttempts);
}

QString UpdateRun::makeTempFileName()
{
    if (!tempFolder.open(Installation::installationDirectory())) {
        log.write(QString("temporary folder: %1").arg(tempFolder.errorString()));
        return QString();
    }
    return tempFolder.createFile(UpdaterEnvironment::current().now());
}

void UpdateRun::beginDownload(const QString &url, const QString &tempPath, const ContentCheck &expected)
{
    downloads.setLimits(UpdaterEnvironment::current().downloadLimits);
    downloads.start(url, tempPath, expected, tempFolder.handle(tempPath));
}

bool UpdateRun::downloadFile(const QString &url, const QString &tempPath, const ContentCheck &expected)
{
    downloads.setLimits(UpdaterEnvironment::current().downloadLimits);
    const DownloadPool::Download &download = downloads.take(url, tempPath, expected, tempFolder.handle(tempPath));
    downloadManager = download.manager;
    emit downloadTaken(download);
    if (!download.finished && !cancelled) {
        // Queued: a reply that finishes before exec() has started still ends the wait.
        const QMetaObject::Connection finished =
            connect(downloadManager, qOverload<>(&DownloadNetworkManager::replyFinished), &loop, &QEventLoop::quit,
                    Qt::QueuedConnection);
        // The window stays live in this nested loop: progress reports and the close request arrive
        // here, and cancel() is what ends it early.
        loop.exec();
        disconnect(finished);
    }
    // Only cancel() ends the wait early. The reply is then abandoned rather than left to write
    // into a folder that is about to be emptied.
    outcomeReport.bytes += download.received;
    downloads.release(tempPath);
    return downloadManager->errorCode() == 0;
}

bool UpdateRun::coverFile(const QString &tempPath, const QString &targetPath)
{
    return LocalOperations::replaceFile(tempPath, targetPath, Installation::installationDirectory(), &tempFolder);
}

bool UpdateRun::decodeForm(const FileInstaller::Form &form, const QString &formPath, const QString &tempPath,
                           const QString &targetPath, const ContentCheck &expected, QString *reason)
{
    QFile in;
    QFile out;
    if (!in.open(tempFolder.handle(formPath), QIODevice::ReadOnly, QFileDevice::DontCloseHandle)
        || !out.open(tempFolder.handle(tempPath), QIODevice::ReadWrite, QFileDevice::DontCloseHandle)) {
        *reason = tr("no temporary file could be made");
        return false;
    }
    FormDecoder decoder;
    bool made = false;
    aside([&] {
        made = form.baseSha256.isEmpty() ? decoder.decompress(&in, &out, expected)
                                         : decoder.applyPatch(targetPath, form.baseSha256, &in, &out, expected);
    });
    if (!made)
        *reason = decoder.errorString();
    return made;
}

QByteArray UpdateRun::installedSha256(const QString &targetPath)
{
    // Large copies can take long on a slow disk; the log shows what the window waits for.
    const qint64 size = QFileInfo(targetPath).size();
    if (size >= (qint64(64) << 20))
        log.write(QString("file %1: reading the installed copy (%2 bytes) to choose its patch")
                      .arg(QDir(Installation::installationDirectory()).relativeFilePath(targetPath)).arg(size));
    QByteArray sha256;
    aside([&] { sha256 = fileSha256(targetPath, &stopReading); });
    return sha256;
}

void UpdateRun::aside(const std::function<void()> &work)
{
    QEventLoop waiting;
    const std::unique_ptr<QThread> thread(QThread::create(work));
    // Queued: a thread that ends before exec() has started still ends the wait.
    connect(thread.get(), &QThread::finished, &waiting, &QEventLoop::quit, Qt::QueuedConnection);
    thread->start();
    waiting.exec();
    thread->wait();
}

void UpdateRun::clearTempFolder()
{
    // The installation's own folder: the current directory may be anywhere.
    tempFolder.clear(Installation::installationDirectory());
    LocalOperations::removeTempFiles(Installation::installationDirectory() + "tmps");
}

void UpdateRun::noteOutcome(OutcomeReport::Outcome outcome, const QString &file, const QString &reason,
                            const QString &form)
{
    if (outcomeNoted)
        return;
    outcomeNoted = true;
    outcomeReport.outcome = outcome;
    outcomeReport.file = file;
    outcomeReport.form = form;
    // The service learns nothing of where the installation lies.
    outcomeReport.reason = QString(reason).replace(Installation::installationDirectory(), QString());
}

// Once the main application has had its start: one short attempt, whose failure costs nothing but
// a log line.
void UpdateRun::sendReport()
{
    if (reportUrl.isEmpty() || !outcomeNoted)
        return;
    outcomeReport.durationMs = clock.elapsed();
    JsonHttpClient::Limits limits;
    limits.deadlineMs = limits.stallTimeoutMs = reportDeadlineMs;
    limits.retry.maxAttempts = 1;
    UpgradeExchange exchange(limits);
    QJsonObject answer;
    const bool sent = exchange.send(reportUrl, outcomeReport.toJson(), publicKey, &answer) && exchange.authentic(false)
        && answer.value("stored").toBool();
    log.write(sent ? QString("report %1: sent, %2").arg(reportUrl, OutcomeReport::outcomeName(outcomeReport.outcome))
                   : QString("report %1: not sent: %2")
                         .arg(reportUrl, exchange.errorString().isEmpty() ? QString("the service did not store it")
                                                                          : exchange.errorString()));
}
