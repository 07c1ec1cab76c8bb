#include "app/updatewindow.h"

#include <QCloseEvent>
#include <QMessageBox>
#include <QPointer>
#include <QSharedMemory>
#include <QTextDocument>
#include <memory>

#include "app/installation.h"
#include "app/logintoken.h"
#include "app/updaterun.h"
#include "ui/plaintextbox.h"
#include "ui/progressdisplay.h"
#include "ui/repaintthrottle.h"
#include "updaterconfig.h"

updateWindow::updateWindow(QWidget *parent)
    : QMainWindow(parent)
    , eventLoop(this)
{
    setupUi(this);
    retryCountdown = std::make_unique<RetryCountdown>(leProgress);
    publicKey = UPDATER_PUBLIC_KEY;
}

updateWindow::~updateWindow()
{
    delete run; // before the widgets it reports to
}

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

UpdateRun &updateWindow::newRun(RepaintThrottle *throttle)
{
    delete run;
    run = new UpdateRun(readUpdaterConfig(Installation::updaterDirectory() + "/config.xml"), token, publicKey, this);
    // What the window holds stands until a reply replaces it, as across runs.
    run->offer.downloadUrl = downloadUrl;
    run->offer.filesToUpdate = filesToUpdate;
    run->offer.serverFiles = serverFiles;
    if (closing)
        run->cancel();
    connect(run, &UpdateRun::downloadProgress, this, &updateWindow::progressChanged, Qt::QueuedConnection);
    connect(run, &UpdateRun::downloadTaken, this, [this](const DownloadPool::Download &download) {
        downloadManager = download.manager;
        downloadTime = download.clock;
        // A download begun before its turn shows how far it has come.
        if (download.reported)
            progressChanged(download.received, download.total);
    });
    connect(run, &UpdateRun::retrying, retryCountdown.get(), &RetryCountdown::start);
    auto shown = std::make_shared<QString>();
    connect(run, &UpdateRun::querying, this, [this, shown] { *shown = leProgress->text(); });
    connect(run, &UpdateRun::queried, this, [this, shown] { // no longer waiting
        retryCountdown->stop();
        leProgress->setText(*shown);
    });
    connect(run, &UpdateRun::tokenRefused, this,
            [this] { QMessageBox::about(this, QStringLiteral("ERROR"), QStringLiteral("Error Key!")); });
    connect(run, &UpdateRun::failed, this, [this, held = QPointer<RepaintThrottle>(throttle)](const QString &text) {
        if (held)
            held->release(); // the box shows over the window as it is now
        PlainTextBox::critical(this, tr("Error"), text);
        if (held)
            held->hold();
    });
    return *run;
}

UpdateRun &updateWindow::currentRun()
{
    return run ? *run : newRun();
}

void updateWindow::runUpdate()
{
    // The texts below change with every file; the window shows them at most ten times a second.
    RepaintThrottle throttle(Ui::updateClass::centralWidget);
    throttle.gatherEdits(teFiles->document());
    UpdateRun &update = newRun(&throttle);
    connect(&update, &UpdateRun::planned, &throttle, [this, &throttle](int total) {
        leQuantity->setText(QString::number(total, 10));
        throttle.hold();
    });
    connect(&update, &UpdateRun::fileStarted, this, [this](const QString &key) {
        // Held to plain text: the name is the service's, and the list shows what looks like rich
        // text as such. Escaping only what could be taken for it spares the list's parser.
        teFiles->append(Qt::mightBeRichText(key) ? QStringLiteral("<span style='white-space:pre'>%1</span>").arg(key.toHtmlEscaped())
                                                 : key);
        leFileName->setText(key);
    });
    connect(&update, &UpdateRun::downloadFailed, this,
            [this] { teFiles->append(tr("<span style='color:#ff0000;'>Download Failed!</span>")); });
    connect(&update, &UpdateRun::fileInstalled, this, [this](int done, int total) {
        leProgress->setText(tr("Downloading (%1/%2)...").arg(done).arg(total));
    });
    connect(&update, &UpdateRun::finished, &throttle, [this, &update, &throttle](UpdateRun::Result result) {
        throttle.release();
        downloadUrl = update.offer.downloadUrl;
        filesToUpdate = update.offer.filesToUpdate;
        serverFiles = update.offer.serverFiles;
        if (result != UpdateRun::Cancelled && result != UpdateRun::NoDownloadUrl)
            close();
    });
    update.run();
}

void updateWindow::closeEvent(QCloseEvent *event)
{
    if (!closing) {
        closing = true;
        eventLoop.quit();
        if (run)
            run->cancel();
        return;
    }
    QMainWindow::closeEvent(event);
}

bool updateWindow::queryUpgrade()
{
    UpdateRun &update = currentRun();
    const bool found = update.query();
    downloadUrl = update.offer.downloadUrl;
    filesToUpdate = update.offer.filesToUpdate;
    serverFiles = update.offer.serverFiles;
    return found;
}

QString updateWindow::makeTempFileName()
{
    return currentRun().makeTempFileName();
}

bool updateWindow::downloadFile(const QString &url, const QString &tempPath, const ContentCheck &expected)
{
    return currentRun().downloadFile(url, tempPath, expected);
}

bool updateWindow::coverFile(const QString &tempPath, const QString &targetPath)
{
    return currentRun().coverFile(tempPath, targetPath);
}

void updateWindow::clearTempFolder()
{
    currentRun().clearTempFolder();
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
