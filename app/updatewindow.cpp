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
#include "download/tempfilename.h"
#include "protocol/configfile.h"
#include "protocol/upgradeexchange.h"
#include "protocol/upgradereply.h"
#include "ui/progressdisplay.h"
#include "updaterconfig.h"

updateWindow::updateWindow(QWidget *parent)
    : QMainWindow(parent)
    , downloads(this)
    , eventLoop(this)
{
    setupUi(this);
    connect(&downloads, &DownloadPool::downloadProgress, this, &updateWindow::progressChanged,
            Qt::QueuedConnection);
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
    const ConfigFile config = readConfigFile(updaterDirectory() + "/config.xml");
    prefetch = config.prefetch;
    QJsonObject answer;
    if (!exchange.run(upgradeEndpoint(config), token, publicKey, &answer))
        return false;

    const UpgradeReply reply = readUpgradeReply(answer);
    if (reply.rejected) {
        QMessageBox::about(this, QStringLiteral("ERROR"), QStringLiteral("Error Key!"));
        return false;
    }
    if (reply.hasDownloadUrl)
        downloadUrl = reply.downloadUrl;
    if (!reply.hasFiles)
        return false;
    for (const RemoteFileEntry &offered : reply.offered)
        serverFiles.insert(offered.entry.path, offered.entry);

    const QString installDir = installationDirectory();
    filesToUpdate = outOfDateFiles(reply.offered, readInstalledState(installDir + "version.xml", installDir));
    return !filesToUpdate.isEmpty();
}

QString updateWindow::makeTempFileName()
{
    return freeTempFileName(installationDirectory(), UpdaterEnvironment::current().now());
}

void updateWindow::beginDownload(const QString &url, const QString &tempPath)
{
    // Made at once: the next temporary name is taken before this download has written anything.
    QFile(tempPath).open(QIODevice::WriteOnly);
    downloads.setLimits(UpdaterEnvironment::current().downloadLimits);
    downloads.start(url, tempPath);
}

bool updateWindow::downloadFile(const QString &url, const QString &tempPath)
{
    downloads.setLimits(UpdaterEnvironment::current().downloadLimits);
    const DownloadPool::Download &download = downloads.take(url, tempPath);
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
