#include "app/fileinstaller.h"
#include "app/installation.h"
#include "app/localoperations.h"
#include "app/terminateprocesses.h"
#include "app/updatewindow.h"
#include "download/downloadnetworkmanager.h"
#include "manifest/releasestate.h"
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
    const FileInstaller installer(installDir, downloadUrl, {
        [this] { return makeTempFileName(); },
        [this](const QString &url, const QString &tempPath, const ContentCheck &expected, QString *reason) {
            const bool downloaded = downloadFile(url, tempPath, expected);
            if (!downloaded)
                *reason = downloadManager->errorString();
            return downloaded;
        },
        [this](const QString &tempPath, const QString &targetPath) { return coverFile(tempPath, targetPath); },
        [](const QString &targetPath, const QDateTime &time) { setModificationTime(targetPath, time); }});

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

        const SignedRelease::Content *content = release.content(key);
        const FileInstaller::Outcome outcome =
            installer.install(files.value(key).path, content ? ContentCheck(content->size, content->sha256) : ContentCheck(),
                              releaseTimes.value(key));
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

    if (!failed) {
        writeTextFile(versionManifestToXml(serverFiles), installDir + "version.xml");
        if (release.sequence() > 0)
            writeReleaseSequence(installDir + "release.state", release.sequence());
    }
    if (!failed || token == QLatin1String("NoToken"))
        QProcess::startDetached(installDir + "Trelvox.exe", {}, installDir);
    close();
}
