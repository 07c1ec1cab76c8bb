#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QMainWindow>
#include <QString>
#include <memory>
#include <string>

#include "download/contentcheck.h"
#include "download/downloadpool.h"
#include "download/tempfolder.h"
#include "app/fileinstaller.h"
#include "app/updatelog.h"
#include "manifest/versionentry.h"
#include "protocol/signedrelease.h"
#include "ui/retrycountdown.h"
#include "ui_update.h"

class updateWindow : public QMainWindow, public Ui::updateClass
{
    Q_OBJECT

public:
    explicit updateWindow(QWidget *parent = nullptr);
    ~updateWindow() override;

    void runUpdate();
    bool queryUpgrade();
    QString makeTempFileName();
    void beginDownload(const QString &url, const QString &tempPath, const ContentCheck &expected = ContentCheck());
    bool downloadFile(const QString &url, const QString &tempPath, const ContentCheck &expected = ContentCheck());
    bool coverFile(const QString &tempPath, const QString &targetPath);
    bool decodeForm(const FileInstaller::Form &form, const QString &formPath, const QString &tempPath,
                    const QString &targetPath, const ContentCheck &expected, QString *reason);
    void clearTempFolder();

public slots:
    void progressChanged(qint64 bytesReceived, qint64 bytesTotal);
    void on_btnTest_clicked();

protected:
    void showRetry(const QString &what, int waitMs, int nextAttempt, int maxAttempts, const QString &reason);
    void closeEvent(QCloseEvent *event) override;

public:
    // The run's state; the parts of the run hand it on through these members.
    DownloadNetworkManager *downloadManager = nullptr; // the current download's
    DownloadPool downloads;
    TempFolder tempFolder; // this run's downloads
    QEventLoop eventLoop;
    QElapsedTimer downloadTime; // monotonic, so a clock change cannot upset the speed
    QMap<QString, VersionEntry> filesToUpdate;
    VersionManifest serverFiles;
    SignedRelease release; // the verified listing; empty when no release key is trusted
    QMap<QString, QDateTime> releaseTimes; // each offered file's "modified_time"
    UpdateLog log; // opt-in, named by config.xml
    int progressTimeBase = 0;
    QString downloadUrl;
    int prefetch = 0; // following files requested before their turn (config.xml)
    QString token;
    std::string publicKey;
    bool closing = false;

private:
    std::unique_ptr<RetryCountdown> retryCountdown;
};
