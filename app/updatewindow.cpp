#include "app/updatewindow.h"

#include <QCloseEvent>
#include <QMessageBox>
#include <QSharedMemory>

#include "app/installation.h"
#include "app/localoperations.h"
#include "app/logintoken.h"
#include "app/updaterenvironment.h"
#include "download/downloadnetworkmanager.h"
#include "download/tempfilename.h"
#include "manifest/releasestate.h"
#include "protocol/upgradeexchange.h"
#include "protocol/upgradereply.h"
#include "ui/progressdisplay.h"
#include "updaterconfig.h"

updateWindow::updateWindow(QWidget *parent)
    : QMainWindow(parent)
    , eventLoop(this)
{
    setupUi(this);
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
    if (!exchange.run(upgradeEndpoint(updaterDirectory()), token, publicKey, &answer))
        return false;

    const UpgradeReply reply = readUpgradeReply(answer);
    if (reply.rejected) {
        QMessageBox::about(this, QStringLiteral("ERROR"), QStringLiteral("Error Key!"));
        return false;
    }
    const QString installDir = installationDirectory();
    const UpdaterEnvironment &environment = UpdaterEnvironment::current();
    const bool verifying = !environment.releaseKeys.isEmpty();
    if (verifying
        && !release.verify(reply.release, reply.releaseSignature, environment.releaseKeys, environment.now().toUTC(),
                           readReleaseSequence(installDir + "release.state"))) {
        QMessageBox::critical(this, tr("Error"), tr("The update could not be verified: %1.").arg(release.errorString()),
                              QMessageBox::Ok, QMessageBox::NoButton);
        return false;
    }
    if (reply.hasDownloadUrl)
        downloadUrl = reply.downloadUrl;
    if (!verifying && !reply.hasFiles)
        return false;
    // Once a release is verified, nothing but its signed listing names files.
    const QMap<QString, RemoteFileEntry> &offered = verifying ? release.files() : reply.offered;
    for (const RemoteFileEntry &file : offered) {
        serverFiles.insert(file.entry.path, file.entry);
        releaseTimes.insert(file.entry.path, file.modifiedTime);
    }

    filesToUpdate = outOfDateFiles(offered, readInstalledState(installDir + "version.xml", installDir));
    return !filesToUpdate.isEmpty();
}

QString updateWindow::makeTempFileName()
{
    return freeTempFileName(installationDirectory(), UpdaterEnvironment::current().now());
}

bool updateWindow::downloadFile(const QString &url, const QString &tempPath, const ContentCheck &expected)
{
    if (!downloadManager) {
        downloadManager = new DownloadNetworkManager(this);
        connect(downloadManager, &DownloadNetworkManager::downloadProgress, this,
                &updateWindow::progressChanged, Qt::QueuedConnection);
    }
    downloadManager->setLimits(UpdaterEnvironment::current().downloadLimits);
    // Queued: a reply that finishes before exec() has started still ends the wait.
    const QMetaObject::Connection finished =
        connect(downloadManager, qOverload<>(&DownloadNetworkManager::replyFinished), &eventLoop,
                &QEventLoop::quit, Qt::QueuedConnection);
    downloadManager->startDownload(url, tempPath, expected);
    downloadTime.start();
    // The window stays live in this nested loop: progress reports and the close request arrive
    // here, and the close handler is what ends it early.
    eventLoop.exec();
    disconnect(finished);

    // Only a close request ends the wait early. The reply is then abandoned rather than left to
    // write into a folder that is about to be emptied.
    downloadManager->cancelDownload();
    return downloadManager->errorCode() == 0;
}

bool updateWindow::coverFile(const QString &tempPath, const QString &targetPath)
{
    return replaceFile(tempPath, targetPath);
}

void updateWindow::clearTempFolder()
{
    // The installation's own folder: the current directory may be anywhere.
    removeTempFiles(installationDirectory() + "tmps");
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
