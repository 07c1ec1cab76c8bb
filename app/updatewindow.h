#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QMainWindow>
#include <QString>
#include <memory>
#include <string>

#include "download/contentcheck.h"
#include "manifest/versionmanifest.h"
#include "ui/retrycountdown.h"
#include "ui_update.h"

class DownloadNetworkManager;
class RepaintThrottle;
class UpdateRun;

// The update window: a view of the run it starts. Its methods adapt UpdateRun's steps, and its
// members mirror what the run found.
class updateWindow : public QMainWindow, public Ui::updateClass
{
    Q_OBJECT

public:
    explicit updateWindow(QWidget *parent = nullptr);
    ~updateWindow() override;

    void runUpdate();
    bool queryUpgrade();
    QString makeTempFileName();
    bool downloadFile(const QString &url, const QString &tempPath, const ContentCheck &expected = ContentCheck());
    bool coverFile(const QString &tempPath, const QString &targetPath);
    void clearTempFolder();

public slots:
    void progressChanged(qint64 bytesReceived, qint64 bytesTotal);
    void on_btnTest_clicked();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    // The run of the last runUpdate(), or one made for steps taken one at a time.
    UpdateRun &currentRun();
    // throttle: held while the run's files go by, released for each box.
    UpdateRun &newRun(RepaintThrottle *throttle = nullptr);

    UpdateRun *run = nullptr; // a child of the window
    std::unique_ptr<RetryCountdown> retryCountdown;

public:
    DownloadNetworkManager *downloadManager = nullptr; // the current download's
    QEventLoop eventLoop;
    QElapsedTimer downloadTime; // monotonic, so a clock change cannot upset the speed
    QMap<QString, VersionEntry> filesToUpdate;
    VersionManifest serverFiles;
    int progressTimeBase = 0;
    QString downloadUrl;
    QString token;
    std::string publicKey;
    bool closing = false;
};
