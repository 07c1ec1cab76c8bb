#include "app/updatewindow.h"

#include <QCloseEvent>
#include <QFile>
#include <QMessageBox>
#include <QSharedMemory>

#include "app/installation.h"
#include "app/localoperations.h"
#include "app/logintoken.h"
#include "app/updaterenvironment.h"
#include "download/downloadnetworkmanager.h"
#include "download/formdecoder.h"
#include "manifest/releasestate.h"
#include "protocol/upgradeexchange.h"
#include "protocol/upgradereply.h"
#include "ui/plaintextbox.h"
#include "ui/progressdisplay.h"
#include "updaterconfig.h"

updateWindow::updateWindow(QWidget *parent)
    : QMainWindow(parent)
    , downloads(this)
    , eventLoop(this)
{
    setupUi(this);
    retryCountdown = std::make_unique<RetryCountdown>(leProgress);
    connect(&downloads, &DownloadPool::downloadProgress, this, &updateWindow::progressChanged,
            Qt::QueuedConnection);
    connect(&downloads, &DownloadPool::retrying, this,
            [this](int waitMs, int nextAttempt, int maxAttempts, const QString &reason) {
                showRetry("file " + leFileName->text(), waitMs, nextAttempt, maxAttempts, reason);
            });
    publicKey = UPDATER_PUBLIC_KEY;
}

updateWindow::~updateWindow() = default;

void updateWindow::on_btnTest_clicked()
{
    closing = false;
    QSharedMemory segment;
    segment.setKey("Download_inf");
    QMessageBox box;

    if (!segment.attach(QSharedMemory::ReadWrite)) {
        box.setText(tr("LoginFailed"));
        box.exec();
        return;
    }
    segment.lock();
    token = loginTokenFrom(QByteArray(static_cast<const char *>(segment.constData()), segment.size()));
    segment.unlock();
    segment.detach();

    if (token.length() == 0) {
        box.exec();
        return;
    }

    runUpdate();
    clearTempFolder();
    if (closing)
        close();
    closing = true;
}

void updateWindow::showRetry(const QString &what, int waitMs, int nextAttempt, int maxAttempts,
                             const QString &reason)
{
    const int seconds = (waitMs + 999) / 1000;
    log.write(QString("%1: %2; attempt %3 of %4 in %5 s").arg(what, reason).arg(nextAttempt).arg(maxAttempts).arg(seconds));
    retryCountdown->start(waitMs, nextAttempt, maxAttempts);
}

void updateWindow::closeEvent(QCloseEvent *event)
{
    if (!closing) {
        closing = true;
        eventLoop.quit();
        return;
    }
    QMainWindow::closeEvent(event);
}

bool updateWindow::queryUpgrade()
{
    UpgradeExchange exchange(UpdaterEnvironment::current().queryLimits);
    QJsonObject answer;
    const QString endpoint = Installation::upgradeEndpoint(Installation::updaterDirectory());
    exchange.setRetryNotice([this, &endpoint](int waitMs, int nextAttempt, int maxAttempts, const QString &reason) {
        showRetry("query " + endpoint, waitMs, nextAttempt, maxAttempts, reason);
    });
    const QString shown = leProgress->text();
    const bool answered = exchange.run(endpoint, token, publicKey, &answer);
    retryCountdown->stop();
    leProgress->setText(shown); // no longer waiting for another attempt
    if (!answered) {
        log.write(QString("query %1: failed: %2").arg(endpoint, exchange.errorString()));
        return false;
    }

    const UpgradeReply reply = readUpgradeReply(answer);
    if (reply.rejected) {
        log.write(QString("query %1: the token was refused").arg(endpoint));
        QMessageBox::about(this, QStringLiteral("ERROR"), QStringLiteral("Error Key!"));
        return false;
    }
    const QString installDir = Installation::installationDirectory();
    const UpdaterEnvironment &environment = UpdaterEnvironment::current();
    const bool verifying = !environment.releaseKeys.isEmpty();
    QString unverified;
    if (!exchange.authentic(verifying))
        unverified = exchange.errorString();
    else if (verifying
             && !release.verify(reply.release, reply.releaseSignature, environment.releaseKeys,
                                environment.now().toUTC(), Manifest::readReleaseSequence(installDir + "release.state")))
        unverified = release.errorString();
    if (!unverified.isEmpty()) {
        log.write(QString("query %1: not verified: %2").arg(endpoint, unverified));
        PlainTextBox::critical(this, tr("Error"), tr("The update could not be verified: %1.").arg(unverified));
        return false;
    }
    if (reply.hasDownloadUrl && !isDownloadableUrl(reply.downloadUrl)) {
        log.write(QString("query %1: refused download_url %2: not http or https").arg(endpoint, reply.downloadUrl));
        PlainTextBox::critical(this, tr("Error"),
                               tr("The update service named a download address that is neither http nor https."));
        return false;
    }
    if (reply.hasDownloadUrl)
        downloadUrl = reply.downloadUrl;
    if (!verifying && !reply.hasFiles) {
        log.write(QString("query %1: the reply lists no files").arg(endpoint));
        return false;
    }
    // Once a release is verified, nothing but its signed listing names files.
    const QMap<QString, RemoteFileEntry> &offered = verifying ? release.files() : reply.offered;
    for (const RemoteFileEntry &file : offered) {
        serverFiles.insert(file.entry.path, file.entry);
        releaseTimes.insert(file.entry.path, file.modifiedTime);
    }

    filesToUpdate = outOfDateFiles(offered, Installation::readInstalledState(installDir + "version.xml", installDir));
    log.write(QString("query %1: %2 files offered%3, %4 out of date")
                  .arg(endpoint).arg(offered.size()).arg(verifying ? QString(" (signed release %1)").arg(release.sequence()) : QString())
                  .arg(filesToUpdate.size()));
    // The installation already is this release: recorded now, so that an older listing replayed
    // later is refused as it would be after an install.
    if (verifying && filesToUpdate.isEmpty() && release.sequence() > Manifest::readReleaseSequence(installDir + "release.state"))
        Manifest::writeReleaseSequence(installDir + "release.state", release.sequence());
    return !filesToUpdate.isEmpty();
}

QString updateWindow::makeTempFileName()
{
    if (!tempFolder.open(Installation::installationDirectory())) {
        log.write(QString("temporary folder: %1").arg(tempFolder.errorString()));
        return QString();
    }
    return tempFolder.createFile(UpdaterEnvironment::current().now());
}

void updateWindow::beginDownload(const QString &url, const QString &tempPath, const ContentCheck &expected)
{
    downloads.setLimits(UpdaterEnvironment::current().downloadLimits);
    downloads.start(url, tempPath, expected, tempFolder.handle(tempPath));
}

bool updateWindow::downloadFile(const QString &url, const QString &tempPath, const ContentCheck &expected)
{
    downloads.setLimits(UpdaterEnvironment::current().downloadLimits);
    const DownloadPool::Download &download = downloads.take(url, tempPath, expected, tempFolder.handle(tempPath));
    downloadManager = download.manager;
    downloadTime = download.clock;
    // A download begun before its turn shows how far it has come.
    if (download.reported)
        progressChanged(download.received, download.total);
    if (!download.finished) {
        // Queued: a reply that finishes before exec() has started still ends the wait.
        const QMetaObject::Connection finished =
            connect(downloadManager, qOverload<>(&DownloadNetworkManager::replyFinished), &eventLoop,
                    &QEventLoop::quit, Qt::QueuedConnection);
        // The window stays live in this nested loop: progress reports and the close request arrive
        // here, and the close handler is what ends it early.
        eventLoop.exec();
        disconnect(finished);
    }
    // Only a close request ends the wait early. The reply is then abandoned rather than left to
    // write into a folder that is about to be emptied.
    downloads.release(tempPath);
    return downloadManager->errorCode() == 0;
}

bool updateWindow::coverFile(const QString &tempPath, const QString &targetPath)
{
    return LocalOperations::replaceFile(tempPath, targetPath, Installation::installationDirectory(), &tempFolder);
}

bool updateWindow::decodeForm(const FileInstaller::Form &form, const QString &formPath, const QString &tempPath,
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
    const bool made = form.baseSha256.isEmpty()
        ? decoder.decompress(&in, &out, expected)
        : decoder.applyPatch(targetPath, form.baseSha256, &in, &out, expected);
    if (!made)
        *reason = decoder.errorString();
    return made;
}

void updateWindow::clearTempFolder()
{
    // The installation's own folder: the current directory may be anywhere.
    tempFolder.clear(Installation::installationDirectory());
    LocalOperations::removeTempFiles(Installation::installationDirectory() + "tmps");
}

void updateWindow::progressChanged(qint64 bytesReceived, qint64 bytesTotal)
{
    // downloadTime restarts with each download and bytesReceived counts from that same start, so
    // the base stays at the start (0): the speed is the average since the download began.
    const ProgressDisplay shown = progressDisplay(bytesReceived, bytesTotal, downloadTime.elapsed() - progressTimeBase);
    leSpeed->setText(shown.speed);
    leTime->setText(shown.remainingTime);
    leFileSize->setText(shown.fileSize);
    leDownLoaded->setText(shown.downloaded);
    pbProgress->setMaximum(shown.barMaximum);
    pbProgress->setValue(shown.barValue);
    progressTimeBase = 0;
}
