#include "app/releaseswap.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>

#include "app/installation.h"
#include "app/localoperations.h"
#include "download/contentcheck.h"
#include "download/tempfolder.h"
#include "manifest/releasestate.h"
#include "manifest/versionmanifest.h"

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const char journalName[] = "/install.journal";
const char oldCopiesName[] = "/replaced";
constexpr qint64 maxJournalBytes = 64 * 1024 * 1024;

// The journal and the old copies steer what an administrator's process moves and deletes, so
// they count only as this user's own, never through a link.
bool isOwnFolder(const QString &path)
{
#ifdef Q_OS_WIN
    const QFileInfo info(path);
    return info.isDir() && !info.isSymLink() && !info.isJunction();
#else
    struct stat entry;
    return ::lstat(QFile::encodeName(path).constData(), &entry) == 0 && S_ISDIR(entry.st_mode)
        && entry.st_uid == ::geteuid();
#endif
}

bool readOwnFile(const QString &path, QByteArray *bytes)
{
    QFile file;
#ifdef Q_OS_WIN
    const QFileInfo info(path);
    if (info.isSymLink() || info.isJunction() || !info.isFile())
        return false;
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
#else
    const int handle = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat opened;
    if (handle < 0)
        return false;
    if (::fstat(handle, &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_uid != ::geteuid()
        || opened.st_nlink != 1 || !file.open(handle, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(handle);
        return false;
    }
#endif
    if (file.size() > maxJournalBytes)
        return false;
    *bytes = file.readAll();
    return file.error() == QFileDevice::NoError;
}

// The target holds what the install put there: a regular file (no link) of that size and digest.
bool holds(const QString &path, qint64 size, const QByteArray &sha256)
{
    const QFileInfo info(path);
    return info.isFile() && !info.isSymLink() && info.size() == size && fileSha256(path) == sha256;
}

bool sameBytes(const QString &a, const QString &b)
{
#ifndef Q_OS_WIN
    struct stat one;
    struct stat other; // a second name of the same file, as the old copy of one not reached yet
    if (::stat(QFile::encodeName(a).constData(), &one) == 0 && ::stat(QFile::encodeName(b).constData(), &other) == 0
        && one.st_dev == other.st_dev && one.st_ino == other.st_ino)
        return true;
#endif
    const QFileInfo first(a);
    const QFileInfo second(b);
    return first.isFile() && second.isFile() && first.size() == second.size()
        && fileSha256(a) == fileSha256(b);
}

void appendJsonString(QByteArray *out, const QString &value)
{
    const QByteArray utf8 = value.toUtf8();
    out->append('"');
    for (const char c : utf8) {
        if (c == '"' || c == '\\') {
            out->append('\\').append(c);
        } else if (static_cast<unsigned char>(c) < 0x20) {
            static const char digits[] = "0123456789abcdef";
            out->append("\\u00").append(digits[(c >> 4) & 0xf]).append(digits[c & 0xf]);
        } else {
            out->append(c);
        }
    }
    out->append('"');
}

QString stamp()
{
    return QDateTime::currentDateTimeUtc().toString("yyyyMMddThhmmsszzzZ");
}

} // namespace

ReleaseSwap::ReleaseSwap(const QString &installDir, const QString &updaterDir)
    : installDir(installDir)
    , updaterDir(updaterDir)
    , journalPath(updaterDir + journalName)
    , oldCopies(updaterDir + oldCopiesName)
{
}

bool ReleaseSwap::fail(const QString &text)
{
    error = text;
    return false;
}

// A folder of our own for the old copies. Whatever else stands at its name is moved aside whole: a
// link there would have the old copies, and their removal, land wherever it points. What an earlier
// install left in it is dropped; a copy still in use (the image of an updater that was replaced
// while it ran, still mapped) stays for a later start, and this install's copies take names after it.
bool ReleaseSwap::prepareOldCopies()
{
    const QFileInfo existing(oldCopies);
    if ((existing.exists() || existing.isSymLink()) && !isOwnFolder(oldCopies)
        && !LocalOperations::moveOver(oldCopies, oldCopies + ".refused-" + stamp()))
        return false;
    if (!QDir().mkpath(oldCopies) || !isOwnFolder(oldCopies))
        return false;
    firstCopy = 0;
    for (const QString &left : dropLeftovers(oldCopies))
        firstCopy = qMax(firstCopy, left.toInt() + 1);
    return true;
}

// Only when no journal names them: these are copies of a release that is in, never one to put back.
// Links inside are removed, not followed.
QStringList ReleaseSwap::dropLeftovers(const QString &folder)
{
    QStringList kept;
    const QFileInfoList entries = QDir(folder).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QFileInfo &entry : entries) {
        const QString path = entry.filePath();
        bool removed = false;
        if (entry.isSymLink() || entry.isJunction()) {
            removed = QFile::remove(path) || QDir().rmdir(path);
        } else if (entry.isDir()) {
            removed = QDir(path).removeRecursively();
        } else {
            // Windows deletes no read-only file: the old copy of a read-only installed one is such.
            removed = QFile::remove(path)
                || (QFile::setPermissions(path, entry.permissions() | QFileDevice::WriteUser) && QFile::remove(path));
        }
        if (!removed)
            kept << entry.fileName();
    }
    return kept;
}

bool ReleaseSwap::install(const QList<File> &files, TempFolder *folder, const QString &versionXml, qint64 sequence)
{
    entries.clear();
    failed.clear();
    this->sequence = sequence;
    this->versionXml = versionXml;
    // A journal still here is one the start could not finish: its old copies are the only ones.
    if (QFileInfo::exists(journalPath) || QFileInfo(journalPath).isSymLink())
        return fail(tr("an earlier install is not finished yet"));
    if (!prepareOldCopies())
        return fail(tr("no folder for the installed copies could be made"));
    for (int i = 0; i < files.size(); ++i) {
        const File &file = files.at(i);
        const QByteArray sha256 = file.sha256.isEmpty() ? fileSha256(file.tempPath) : file.sha256;
        entries.append({file.targetPath, QFileInfo::exists(file.targetPath) ? QString("%1/%2").arg(oldCopies).arg(firstCopy + i) : QString(),
                        file.sha256.isEmpty() ? QFileInfo(file.tempPath).size() : file.size, sha256});
    }
    // version.xml and the release state go back with the files. Copies, not moves: both stay in
    // place until the new ones are written whole. They are on disk before the journal names them.
    QList<QPair<QString, QByteArray>> records{{installDir + "version.xml", Manifest::textFileBytes(versionXml)}};
    if (sequence > 0)
        records.append({installDir + "release.state", Manifest::releaseSequenceBytes(sequence)});
    for (const auto &record : qAsConst(records)) {
        const QString copy = QFileInfo::exists(record.first) ? QString("%1/%2").arg(oldCopies).arg(firstCopy + entries.size()) : QString();
        if (!copy.isEmpty() && (!QFile::copy(record.first, copy) || !LocalOperations::syncFile(copy))) {
            QDir(oldCopies).removeRecursively();
            return fail(tr("%1 could not be kept").arg(QDir::toNativeSeparators(record.first)));
        }
        entries.append({record.first, copy, record.second.size(),
                        QCryptographicHash::hash(record.second, QCryptographicHash::Sha256)});
    }
    // All staged files in one pass, right before the first of them moves: not one by one as they came.
    QStringList staged;
    for (const File &file : files)
        staged << file.tempPath;
    if (!folder->makeDurable(staged) || !LocalOperations::syncFolders({oldCopies})) {
        QDir(oldCopies).removeRecursively();
        return fail(tr("the downloaded files could not be made durable"));
    }
    if (!writeJournal(false)) {
        QFile::remove(journalPath);
        QDir(oldCopies).removeRecursively();
        return fail(tr("the install journal could not be written"));
    }

    QSet<QString> folders{oldCopies};
    for (int i = 0; i < files.size(); ++i) {
        const File &file = files.at(i);
        if (!LocalOperations::moveInPlace(file.tempPath, file.targetPath, entries.at(i).oldCopy, installDir, folder, file.executable)) {
            failed = file.targetPath;
            const QString text = tr("%1 could not be put in place").arg(QDir::toNativeSeparators(file.targetPath));
            rollBack();
            return fail(error.isEmpty() ? text : text + "; " + error);
        }
        if (file.releaseTime.isValid())
            LocalOperations::setModificationTime(file.targetPath, file.releaseTime);
        folders.insert(QFileInfo(file.targetPath).absolutePath());
    }
    if (!LocalOperations::syncFolders(folders)) {
        rollBack();
        return fail(tr("the installed files could not be made durable") + (error.isEmpty() ? QString() : "; " + error));
    }
    return true;
}

bool ReleaseSwap::commit()
{
    if (!Manifest::writeTextFile(versionXml, installDir + "version.xml")
        || (sequence > 0 && !Manifest::writeReleaseSequence(installDir + "release.state", sequence))
        || !LocalOperations::syncFolders({QFileInfo(installDir + "version.xml").absolutePath()})) {
        rollBack();
        return fail(tr("version.xml could not be written") + (error.isEmpty() ? QString() : "; " + error));
    }
    // The moment the release is in: from here on a crash keeps it.
    if (!writeJournal(true)) {
        rollBack();
        return fail(tr("the install journal could not be written") + (error.isEmpty() ? QString() : "; " + error));
    }
    dropOldCopies();
    return true;
}

// False, with the files named in errorString(), when an old copy could not go back: it stays with
// the journal, and the next start tries again.
bool ReleaseSwap::rollBack()
{
    error.clear();
    QStringList report;
    if (!putBack(&report)) {
        error = report.join("; ");
        whole = false;
        return false;
    }
    dropOldCopies();
    return true;
}

void ReleaseSwap::dropOldCopies()
{
    if (isOwnFolder(oldCopies))
        QDir(oldCopies).removeRecursively();
    QFile::remove(journalPath);
    LocalOperations::syncFolders({updaterDir});
    entries.clear();
}

bool ReleaseSwap::writeJournal(bool done) const
{
    // Written by hand: as a JSON document each file's four members cost some seventy allocations, and
    // the journal is written twice a run. Read back by the JSON parser.
    QByteArray text = done ? "{\"done\": true, \"files\": [" : "{\"done\": false, \"files\": [";
    text.reserve(text.size() + entries.size() * 192);
    for (int i = 0; i < entries.size(); ++i) {
        const Entry &entry = entries.at(i);
        text += i == 0 ? "\n{\"target\": " : ",\n{\"target\": ";
        appendJsonString(&text, entry.target);
        text += ", \"old\": ";
        appendJsonString(&text, entry.oldCopy);
        text.append(", \"size\": ").append(QByteArray::number(entry.size)).append(", \"sha256\": \"");
        text.append(entry.sha256.toHex()).append("\"}");
    }
    text += "\n]}\n";
    QSaveFile journal(journalPath);
    return journal.open(QIODevice::WriteOnly) && journal.write(text) == text.size() && journal.commit()
        && LocalOperations::syncFolders({updaterDir});
}

// Reads the journal into entries. Empty when it may be acted on; else why not.
QString ReleaseSwap::checkJournal(bool *done)
{
    QByteArray text;
    if (!readOwnFile(journalPath, &text))
        return tr("it is not a regular file of the updater's own");
    QJsonParseError parsed;
    const QJsonObject object = QJsonDocument::fromJson(text, &parsed).object();
    if (parsed.error != QJsonParseError::NoError || !object.value("done").isBool() || !object.value("files").isArray())
        return tr("it cannot be read");
    *done = object.value("done").toBool();
    static const QRegularExpression hex("^[0-9a-f]{64}$");
    for (const QJsonValue &value : object.value("files").toArray()) {
        const QString digest = value["sha256"].toString();
        if (!value["target"].isString() || !value["old"].isString() || !value["size"].isDouble()
            || !hex.match(digest).hasMatch())
            return tr("it cannot be read");
        entries.append({value["target"].toString(), value["old"].toString(), qint64(value["size"].toDouble()),
                        QByteArray::fromHex(digest.toLatin1())});
    }
    static const QRegularExpression copyName("^[0-9]+$");
    for (const Entry &entry : qAsConst(entries)) {
        const QString relative = entry.target.startsWith(installDir) ? entry.target.mid(installDir.size()) : QString();
        const bool ours = relative == QLatin1String("version.xml") || relative == QLatin1String("release.state");
        if (!ours && (!Installation::isSafeRelativePath(relative) || Installation::isReservedPath(relative)))
            return tr("it names %1, which is no file of the installation").arg(QDir::toNativeSeparators(entry.target));
        if (!LocalOperations::reachesTargetWithoutLinks(entry.target, installDir))
            return tr("%1 lies behind a link").arg(QDir::toNativeSeparators(entry.target));
        if (!entry.oldCopy.isEmpty()
            && (!entry.oldCopy.startsWith(oldCopies + "/") || !copyName.match(entry.oldCopy.mid(oldCopies.size() + 1)).hasMatch()))
            return tr("it keeps an old copy outside %1").arg(QDir::toNativeSeparators(oldCopies));
    }
    const QFileInfo copies(oldCopies);
    if ((copies.exists() || copies.isSymLink()) && !isOwnFolder(oldCopies))
        return tr("%1 is not a folder of the updater's own").arg(QDir::toNativeSeparators(oldCopies));
    return QString();
}

// The journal, and the old copies with it, go where nothing acts on them again, for someone to look at.
void ReleaseSwap::setAside(QStringList *report) const
{
    const QString suffix = ".refused-" + stamp();
    LocalOperations::moveOver(journalPath, journalPath + suffix);
    const QFileInfo copies(oldCopies);
    if (copies.exists() || copies.isSymLink())
        LocalOperations::moveOver(oldCopies, oldCopies + suffix);
    LocalOperations::syncFolders({updaterDir});
    *report << tr("the install journal was moved to %1%2 and nothing it names was touched")
                   .arg(QDir::toNativeSeparators(journalPath), suffix);
}

// In reverse, each target as it was: its old copy back where the new file (or nothing) stands, the
// new file gone where there was none. A target that holds neither was changed by someone since and
// stays as it is. False when an old copy could not go back.
bool ReleaseSwap::putBack(QStringList *report) const
{
    bool back = true;
    QSet<QString> folders;
    for (auto entry = entries.crbegin(); entry != entries.crend(); ++entry) {
        const QFileInfo target(entry->target);
        const bool present = target.exists() || target.isSymLink();
        const bool placed = present && holds(entry->target, entry->size, entry->sha256);
        const bool kept = !entry->oldCopy.isEmpty() && QFileInfo::exists(entry->oldCopy);
        folders.insert(target.absolutePath());
        if ((placed || !present) && kept) {
            if (!LocalOperations::moveOver(entry->oldCopy, entry->target)) {
                back = false;
                *report << tr("%1 could not be put back; its old copy is kept for the next start")
                               .arg(QDir::toNativeSeparators(entry->target));
            }
        } else if (placed && entry->oldCopy.isEmpty()) {
            if (!QFile::remove(entry->target)) {
                back = false;
                *report << tr("%1 could not be removed").arg(QDir::toNativeSeparators(entry->target));
            }
        } else if (present && !placed && kept && !sameBytes(entry->oldCopy, entry->target)) {
            *report << tr("%1 was changed since and is left as it is").arg(QDir::toNativeSeparators(entry->target));
        }
    }
    LocalOperations::syncFolders(folders);
    return back;
}

QStringList ReleaseSwap::recover(const QString &installDir, const QString &updaterDir)
{
    ReleaseSwap swap(installDir, updaterDir);
    const QFileInfo journal(swap.journalPath);
    if (!journal.exists() && !journal.isSymLink()) {
        // What the last install could not drop yet, the updater's own image among them.
        if (!isOwnFolder(swap.oldCopies))
            return {};
        const QStringList kept = dropLeftovers(swap.oldCopies);
        if (kept.isEmpty())
            QDir().rmdir(swap.oldCopies);
        else
            return {tr("%n old copies are still in use and stay for a later start", nullptr, kept.size())};
        return {};
    }
    bool done = false;
    QStringList report;
    const QString refused = swap.checkJournal(&done);
    if (!refused.isEmpty()) {
        report << tr("the install journal was refused: %1").arg(refused);
        swap.setAside(&report);
        return report;
    }
    if (done) {
        swap.dropOldCopies();
        return {tr("an interrupted install had put its release in; its old copies were dropped")};
    }
    const int count = swap.entries.size();
    if (!swap.putBack(&report))
        return report << tr("an interrupted install could not be wholly rolled back; the journal stays for the next start");
    swap.dropOldCopies();
    return report << tr("an interrupted install was rolled back: %1 files as they were").arg(count);
}
