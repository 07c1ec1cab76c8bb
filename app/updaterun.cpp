#include "app/fileinstaller.h"
#include "app/installation.h"
#include "app/terminateprocesses.h"
#include "app/updatewindow.h"
#include "download/downloadnetworkmanager.h"
#include "manifest/versionmanifest.h"
#include "ui/repaintthrottle.h"

#include <QMessageBox>
#include <QProcess>

void updateWindow::runUpdate()
{
    if (!terminateProcesses("Trelvox.exe") || !queryUpgrade()) {
        close();
        return;
    }
    if (downloadUrl.isEmpty())
        return;

    const QString installDir = installationDirectory();
    FileInstaller installer(installDir, downloadUrl, {
        [this] { return makeTempFileName(); },
        [this](const QString &url, const QString &tempPath) { beginDownload(url, tempPath); },
        [this](const QString &url, const QString &tempPath, QString *reason) {
            const bool downloaded = downloadFile(url, tempPath);
            if (!downloaded)
                *reason = downloadManager->errorString();
            return downloaded;
        },
        [this](const QString &tempPath, const QString &targetPath) { return coverFile(tempPath, targetPath); }},
        prefetch);

    const QMap<QString, VersionEntry> files = filesToUpdate;
    const QStringList keys = files.keys();
    QStringList paths;
    for (const QString &key : keys)
        paths << files.value(key).path;
    const int total = files.size();
    leQuantity->setText(QString::number(total, 10));

    int done = 0;
    bool failed = false;
    // The texts below change with every file; the window shows them at most ten times a second.
    RepaintThrottle throttle(Ui::updateClass::centralWidget);
    throttle.hold();
    const auto reportFailure = [this, &throttle](const QString &message) {
        if (closing)
            return;
        throttle.release(); // the box shows over the window as it is now
        QMessageBox::critical(this, tr("Error"), message, QMessageBox::Ok, QMessageBox::NoButton);
        throttle.hold();
    };

    for (int index = 0; index < keys.size(); ++index) {
        if (closing) {
            downloads.abandonAll(); // those begun ahead of their turn
            return;
        }
        const QString &key = keys.at(index);
        teFiles->append(key);
        leFileName->setText(key);

        const FileInstaller::Outcome outcome = installer.install(paths, index);
        if (outcome.result == FileInstaller::DownloadFailed) {
            failed = true;
            teFiles->append(tr("<span style='color:#ff0000;'>Download Failed!</span>"));
            reportFailure(QObject::tr("%1: download file [%2] failed!").arg(outcome.reason, key));
            continue;
        }
        if (outcome.result == FileInstaller::ReplaceFailed) {
            failed = true;
            reportFailure(QObject::tr("Error: cover file [%1] failed!").arg(key));
            continue;
        }
        ++done;
        leProgress->setText(tr("Downloading (%1/%2)...").arg(done).arg(total));
    }

    throttle.release();
    if (!failed)
        writeTextFile(versionManifestToXml(serverFiles), installDir + "version.xml");
    if (!failed || token == QLatin1String("NoToken"))
        QProcess::startDetached(installDir + "Trelvox.exe", {}, installDir);
    close();
}
