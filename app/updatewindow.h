#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QMainWindow>
#include <QString>
#include <string>

#include "download/downloadpool.h"
#include "manifest/versionentry.h"
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
    void beginDownload(const QString &url, const QString &tempPath);
    bool downloadFile(const QString &url, const QString &tempPath);
    bool coverFile(const QString &tempPath, const QString &targetPath);
    void clearTempFolder();

public slots:
    void progressChanged(qint64 bytesReceived, qint64 bytesTotal);
    void on_btnTest_clicked();

protected:
    void closeEvent(QCloseEvent *event) override;

public:
    // The run's state; the parts of the run hand it on through these members.
    DownloadNetworkManager *downloadManager = nullptr; // the current download's
    DownloadPool downloads;
    QEventLoop eventLoop;
    QElapsedTimer downloadTime; // monotonic, so a clock change cannot upset the speed
    QMap<QString, VersionEntry> filesToUpdate;
    VersionManifest serverFiles;
    int progressTimeBase = 0;
    QString downloadUrl;
    int prefetch = 0; // following files requested before their turn (config.xml)
    QString token;
    std::string publicKey;
    bool closing = false;
};
