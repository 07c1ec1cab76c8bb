#include "app/releaseswap.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QSet>

#include "app/localoperations.h"
#include "download/tempfolder.h"
#include "manifest/releasestate.h"
#include "manifest/versionmanifest.h"

namespace {

const char journalName[] = "/install.journal";
const char oldCopiesName[] = "/replaced";

} // namespace

ReleaseSwap::ReleaseSwap(const QString &installDir, const QString &updaterDir)
    : installDir(installDir)
    , journalPath(updaterDir + journalName)
    , oldCopies(updaterDir + oldCopiesName)
{
}

bool ReleaseSwap::fail(const QString &text)
{
    error = text;
    return false;
}

bool ReleaseSwap::install(const QList<File> &files, TempFolder *folder)
{
    entries.clear();
    failed.clear();
    if (!folder->makeDurable())
        return fail(tr("the downloaded files could not be made durable"));
    QDir(oldCopies).removeRecursively(); // a journal that named them was finished at the start
    if (!QDir().mkpath(oldCopies))
        return fail(tr("no folder for the installed copies could be made"));
    // version.xml and the release state go back with the files, so they are named here as well.
    QStringList targets;
    for (const File &file : files)
        targets << file.targetPath;
    targets << installDir + "version.xml" << installDir + "release.state";
    for (int i = 0; i < targets.size(); ++i)
        entries.append({targets.at(i), QFileInfo::exists(targets.at(i)) ? QString("%1/%2").arg(oldCopies).arg(i) : QString()});
    if (!writeJournal(false)) {
        QDir(oldCopies).removeRecursively();
        return fail(tr("the install journal could not be written"));
    }

    QSet<QString> folders{oldCopies};
    for (int i = 0; i < files.size(); ++i) {
        const File &file = files.at(i);
        if (!LocalOperations::moveInPlace(file.tempPath, file.targetPath, entries.at(i).oldCopy, installDir, folder, file.executable)) {
            failed = file.targetPath;
            rollBack();
            return fail(tr("%1 could not be put in place").arg(QDir::toNativeSeparators(file.targetPath)));
        }
        if (file.releaseTime.isValid())
            LocalOperations::setModificationTime(file.targetPath, file.releaseTime);
        folders.insert(QFileInfo(file.targetPath).absolutePath());
    }
    // Copies, not moves: both stay in place until the new ones are written whole.
    for (int i = files.size(); i < entries.size(); ++i) {
        if (!entries.at(i).oldCopy.isEmpty() && !QFile::copy(entries.at(i).target, entries.at(i).oldCopy)) {
            rollBack();
            return fail(tr("%1 could not be kept").arg(QDir::toNativeSeparators(entries.at(i).target)));
        }
    }
    if (!LocalOperations::syncFolders(folders)) {
        rollBack();
        return fail(tr("the installed files could not be made durable"));
    }
    return true;
}

bool ReleaseSwap::commit(const QString &versionXml, qint64 sequence)
{
    if (!Manifest::writeTextFile(versionXml, installDir + "version.xml")
        || (sequence > 0 && !Manifest::writeReleaseSequence(installDir + "release.state", sequence))) {
        rollBack();
        return fail(tr("version.xml could not be written"));
    }
    // The moment the release is in: from here on a crash keeps it.
    if (!writeJournal(true)) {
        rollBack();
        return fail(tr("the install journal could not be written"));
    }
    dropOldCopies();
    return true;
}

void ReleaseSwap::rollBack()
{
    putBack(entries);
    dropOldCopies();
}

void ReleaseSwap::dropOldCopies()
{
    QDir(oldCopies).removeRecursively();
    QFile::remove(journalPath);
    entries.clear();
}

bool ReleaseSwap::writeJournal(bool done) const
{
    QJsonArray files;
    for (const Entry &entry : entries)
        files.append(QJsonObject{{"target", entry.target}, {"old", entry.oldCopy}});
    QSaveFile journal(journalPath);
    const QByteArray text = QJsonDocument(QJsonObject{{"done", done}, {"files", files}}).toJson();
    return journal.open(QIODevice::WriteOnly) && journal.write(text) == text.size() && journal.commit();
}

QList<ReleaseSwap::Entry> ReleaseSwap::readJournal(const QString &path, bool *done)
{
    QFile journal(path);
    const QJsonObject object =
        journal.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(journal.readAll()).object() : QJsonObject();
    *done = object.value("done").toBool();
    QList<Entry> entries;
    for (const QJsonValue &value : object.value("files").toArray())
        entries.append({value["target"].toString(), value["old"].toString()});
    return entries;
}

// In reverse, each target as it was: its old copy back where one was moved aside, the new file gone
// where there was none. A target not reached yet still holds its old copy.
void ReleaseSwap::putBack(const QList<Entry> &entries)
{
    for (auto entry = entries.crbegin(); entry != entries.crend(); ++entry) {
        if (entry->target.isEmpty())
            continue;
        if (entry->oldCopy.isEmpty())
            QFile::remove(entry->target);
        else if (QFileInfo::exists(entry->oldCopy))
            LocalOperations::moveOver(entry->oldCopy, entry->target);
    }
    QSet<QString> folders;
    for (const Entry &entry : entries)
        folders.insert(QFileInfo(entry.target).absolutePath());
    LocalOperations::syncFolders(folders);
}

QString ReleaseSwap::recover(const QString &installDir, const QString &updaterDir)
{
    ReleaseSwap swap(installDir, updaterDir);
    if (!QFileInfo::exists(swap.journalPath))
        return QString();
    bool done = false;
    swap.entries = readJournal(swap.journalPath, &done);
    if (done) {
        swap.dropOldCopies();
        return tr("an interrupted install had put its release in; its old copies were dropped");
    }
    const int count = swap.entries.size();
    swap.rollBack();
    return tr("an interrupted install was rolled back: %1 files as they were").arg(count);
}
