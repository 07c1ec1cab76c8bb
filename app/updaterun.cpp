#include "app/installation.h"
#include "app/terminateprocesses.h"
#include "app/updatewindow.h"
#include "download/downloadnetworkmanager.h"
#include "manifest/versionmanifest.h"

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
    const QMap<QString, VersionEntry> files = filesToUpdate;
    const int total = files.size();
    leQuantity->setText(QString::number(total, 10));

    int done = 0;
    bool failed = false;
    const auto reportFailure = [this](const QString &message) {
        if (!closing)
            QMessageBox::critical(this, tr("Error"), message, QMessageBox::Ok, QMessageBox::NoButton);
    };

    for (const QString &key : files.keys()) {
        if (closing)
            return;
        teFiles->append(key);
        leFileName->setText(key);
        const QString path = files.value(key).path;

        // The service's paths are not trusted: nothing may land outside the installation, and a
        // file without a temporary name must not reach the installed target.
        QString tempPath;
        QString reason;
        bool downloaded = false;
        if (!isSafeRelativePath(path)) {
            reason = tr("unsafe file path");
        } else if ((tempPath = makeTempFileName()).isEmpty()) {
            reason = tr("no temporary file could be made");
        } else {
            downloaded = downloadFile(downloadUrl + "/" + path, tempPath);
            if (!downloaded && downloadManager)
                reason = downloadManager->errorString();
        }

        if (!downloaded) {
            failed = true;
            teFiles->append(tr("<span style='color:#ff0000;'>Download Failed!</span>"));
            reportFailure(QObject::tr("%1: download file [%2] failed!").arg(reason, key));
            continue;
        }

        if (!coverFile(tempPath, installDir + path)) {
            failed = true;
            reportFailure(QObject::tr("Error: cover file [%1] failed!").arg(key));
            continue;
        }
        ++done;
        leProgress->setText(tr("Downloading (%1/%2)...").arg(done).arg(total));
    }

    if (!failed)
        writeTextFile(versionManifestToXml(serverFiles), installDir + "version.xml");
    if (!failed || token == QLatin1String("NoToken"))
        QProcess::startDetached(installDir + "Trelvox.exe", {}, installDir);
    close();
}
