#include "app/fileinstaller.h"
#include "app/installation.h"
#include "app/localoperations.h"
#include "app/proxysetting.h"
#include "app/releaseswap.h"
#include "app/updaterenvironment.h"
#include "app/updatewindow.h"
#include "download/downloadnetworkmanager.h"
#include "manifest/releasestate.h"
#include "manifest/versionmanifest.h"
#include "protocol/configfile.h"
#include "ui/plaintextbox.h"
#include "ui/repaintthrottle.h"

#include <QDir>
#include <QProcess>
#include <QTextDocument>

void updateWindow::runUpdate()
{
    // Named relative to the updater's folder, like config.xml itself.
    const QString logName = readConfigElement(Installation::updaterDirectory() + "/config.xml", "Log");
    const QString logPath = logName.isEmpty() ? QString() : QDir(Installation::updaterDirectory()).absoluteFilePath(logName);
    if (!log.open(logPath))
        qWarning("the log %s is not written (%s); the run goes on without it", qPrintable(logPath),
                 qPrintable(log.errorString()));
    log.write("run: started");
    ProxySetting proxy;
    if (!proxy.apply(readConfigElement(Installation::updaterDirectory() + "/config.xml", "Proxy")))
        log.write("run: config.xml's Proxy: " + proxy.errorString() + "; no proxy used");
    else if (!proxy.description().isEmpty())
        log.write("run: proxy: " + proxy.description());
    if (!UpdaterEnvironment::current().endProcesses("Trelvox.exe")) {
        log.write("run: a running Trelvox.exe could not be ended");
        close();
        return;
    }
    // Before anything else: an install a crash cut short is finished or undone.
    for (const QString &line : ReleaseSwap::recover(Installation::installationDirectory(), Installation::updaterDirectory()))
        log.write("run: " + line);
    if (!queryUpgrade()) {
        log.write("run: nothing installed");
        close();
        return;
    }
    if (downloadUrl.isEmpty()) {
        log.write("run: the reply gives no download URL");
        return;
    }

    const QString installDir = Installation::installationDirectory();
    prefetch = readPrefetch(Installation::updaterDirectory() + "/config.xml");
    // A signed release goes in as a whole: every file is staged first and moved in only once all
    // have arrived. Without one, each file is put in place after its own download.
    const bool staging = release.sequence() > 0;
    downloads.setSyncAhead(!staging);
    QList<ReleaseSwap::File> staged;
    QHash<QString, const SignedRelease::Content *> contents; // by target, what the listing says of it
    for (const QString &path : filesToUpdate.keys()) {
        if (const SignedRelease::Content *content = release.content(path))
            contents.insert(installDir + filesToUpdate.value(path).path, content);
    }
    FileInstaller installer(installDir, downloadUrl, {
        [this] { return makeTempFileName(); },
        [this](const QString &url, const QString &tempPath, const ContentCheck &expected) {
            beginDownload(url, tempPath, expected);
        },
        [this](const QString &url, const QString &tempPath, const ContentCheck &expected, QString *reason) {
            const bool downloaded = downloadFile(url, tempPath, expected);
            if (!downloaded)
                *reason = downloadManager->errorString();
            return downloaded;
        },
        [this](const FileInstaller::Form &form, const QString &formPath, const QString &tempPath,
               const QString &targetPath, const ContentCheck &expected, QString *reason) {
            return decodeForm(form, formPath, tempPath, targetPath, expected, reason);
        },
        [this](const QString &formPath) { tempFolder.remove(formPath); },
        [&](const QString &tempPath, const QString &targetPath) {
            if (!staging)
                return coverFile(tempPath, targetPath);
            const SignedRelease::Content *content = contents.value(targetPath);
            staged.append({tempPath, targetPath, QDateTime(), content && content->executable,
                           content ? content->size : 0, content ? content->sha256 : QByteArray()});
            tempFolder.close(tempPath); // opened again from its folder when it goes in
            return true;
        },
        [&](const QString &targetPath, const QDateTime &time) {
            if (staging)
                staged.last().releaseTime = time;
            else
                LocalOperations::setModificationTime(targetPath, time);
        }},
        prefetch);

    const QMap<QString, VersionEntry> files = filesToUpdate;
    const QStringList keys = files.keys();
    QList<FileInstaller::File> toInstall;
    for (const QString &key : keys) {
        const SignedRelease::Content *content = release.content(key);
        toInstall.append({files.value(key).path,
                          content ? ContentCheck(content->size, content->sha256) : ContentCheck(),
                          releaseTimes.value(key),
                          content ? FileInstaller::formsFor(*content, content->patches.isEmpty() ? QByteArray()
                                                                       : LocalOperations::fileSha256(installDir + files.value(key).path))
                                  : QList<FileInstaller::Form>()});
    }
    const int total = files.size();
    leQuantity->setText(QString::number(total, 10));

    int done = 0;
    bool failed = false;
    // The texts below change with every file; the window shows them at most ten times a second.
    RepaintThrottle throttle(Ui::updateClass::centralWidget);
    throttle.gatherEdits(teFiles->document());
    throttle.hold();
    const auto reportFailure = [this, &throttle](const QString &message) {
        if (closing)
            return;
        throttle.release(); // the box shows over the window as it is now
        PlainTextBox::critical(this, tr("Error"), message);
        throttle.hold();
    };

    for (int index = 0; index < keys.size(); ++index) {
        if (closing) {
            for (const QString &path : downloads.abandonAll()) // those begun ahead of their turn
                tempFolder.remove(path);
            log.write("run: the window was closed");
            return;
        }
        const QString &key = keys.at(index);
        // Held to plain text: the name is the service's, and the list shows what looks like rich
        // text as such. Escaping only what could be taken for it spares the list's parser.
        teFiles->append(Qt::mightBeRichText(key) ? QStringLiteral("<span style='white-space:pre'>%1</span>").arg(key.toHtmlEscaped())
                                                 : key);
        leFileName->setText(key);

        const FileInstaller::Outcome outcome = installer.install(toInstall, index);
        for (const QString &skipped : outcome.skipped)
            log.write(QString("file %1: skipped %2").arg(key, skipped));
        if (outcome.result == FileInstaller::DownloadFailed) {
            log.write(QString("file %1: download failed: %2").arg(key, outcome.reason));
            failed = true;
            teFiles->append(tr("<span style='color:#ff0000;'>Download Failed!</span>"));
            reportFailure(QObject::tr("%1: download file [%2] failed!").arg(outcome.reason, key));
            continue;
        }
        if (outcome.result == FileInstaller::ReplaceFailed) {
            log.write(QString("file %1: could not be put in place").arg(key));
            failed = true;
            reportFailure(QObject::tr("Error: cover file [%1] failed!").arg(key));
            continue;
        }
        log.write(outcome.form.isEmpty() ? QString("file %1: installed").arg(key)
                                         : QString("file %1: installed from %2").arg(key, outcome.form));
        ++done;
        leProgress->setText(tr("Downloading (%1/%2)...").arg(done).arg(total));
    }

    throttle.release();
    downloads.waitForSyncs(); // a program cannot be started while another handle may write it
    if (staging && !failed) {
        ReleaseSwap swap(installDir, Installation::updaterDirectory());
        if (!swap.install(staged, &tempFolder, Manifest::versionManifestToXml(serverFiles), release.sequence()) || !swap.commit()) {
            log.write(swap.everythingBack() ? QString("run: %1; every file was put back").arg(swap.errorString())
                                            : QString("run: %1; the next start tries again").arg(swap.errorString()));
            failed = true;
            const QString key = swap.failedTarget().mid(installDir.size());
            if (!key.isEmpty() && !closing)
                PlainTextBox::critical(this, tr("Error"), QObject::tr("Error: cover file [%1] failed!").arg(key));
        }
    } else if (!staging && !LocalOperations::syncFolders(installer.placedFolders())) {
        log.write("run: the installed files could not be made durable");
        failed = true;
    }
    if (!staging && !failed && !Manifest::writeTextFile(Manifest::versionManifestToXml(serverFiles), installDir + "version.xml")) {
        log.write("run: version.xml could not be written");
        failed = true;
    }
    log.write(failed ? QString("version.xml: not written, %1 of %2 files failed").arg(total - done).arg(total)
                     : QString("version.xml: written"));
    if (!failed || token == QLatin1String("NoToken")) {
        QProcess mainApplication;
        mainApplication.setProgram(installDir + "Trelvox.exe");
        mainApplication.setWorkingDirectory(installDir);
        mainApplication.setProcessEnvironment(UpdaterEnvironment::mainApplicationEnvironment());
        const bool started = mainApplication.startDetached();
        log.write(started ? "main application: started" : "main application: could not be started");
    } else {
        log.write("main application: not started");
    }
    close();
}
