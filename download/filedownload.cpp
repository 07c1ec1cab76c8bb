#include "download/filedownload.h"

#include "app/installation.h"
#include "app/updatewindow.h"
#include "download/downloadnetworkmanager.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkReply>

namespace {

QDateTime &fixedTime()
{
    static QDateTime time;
    return time;
}

} // namespace

void setTempFileTimeForTesting(const QDateTime &time)
{
    fixedTime() = time;
}

QString updateWindow::makeTempFileName()
{
    const QString installation = installationDirectory();
    if (!QFileInfo(installation + "tmps").isDir()) {
        QDir::setCurrent(installation);
        if (!QDir().mkpath(installation + "tmps"))
            return QString();
    }

    const QDateTime now = fixedTime().isValid() ? fixedTime() : QDateTime::currentDateTime();
    const QString stamp = now.toString(QStringLiteral("yyyy-MM-dd-hh-mm-ss-zzz"));
    for (int retry = 0; retry < 1000; ++retry) {
        const QString name = retry == 0
            ? QStringLiteral("/tmps/%1.tmp").arg(stamp)
            : QStringLiteral("/tmps/%1_%2.tmp").arg(stamp, QString::number(retry));
        if (!QFileInfo::exists(installation + name))
            return installation + name;
    }
    return QString();
}

bool updateWindow::downloadFile(const QString &url, const QString &tempPath)
{
    if (!downloadManager) {
        downloadManager = new DownloadNetworkManager(this);
        connect(downloadManager, &DownloadNetworkManager::downloadProgress, this,
                &updateWindow::progressChanged, Qt::QueuedConnection);
    }
    // Queued: a reply that finishes before exec() has started still ends the wait.
    const QMetaObject::Connection finished =
        connect(downloadManager, qOverload<>(&DownloadNetworkManager::replyFinished), &eventLoop,
                &QEventLoop::quit, Qt::QueuedConnection);
    downloadManager->startDownload(url, tempPath);
    downloadTime.start();
    eventLoop.exec();
    disconnect(finished);

    // Only a close request ends the wait early. The reply is then abandoned rather than left to
    // write into a folder that is about to be emptied.
    downloadManager->cancelDownload();
    return downloadManager->errorCode() == QNetworkReply::NoError;
}
