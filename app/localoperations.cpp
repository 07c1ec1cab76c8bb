#include "app/localoperations.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "download/windowspath.h"
#include "protocol/pathcheck.h"

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifndef Q_OS_WIN
// Read, not set and put back: umask() is process-wide, and other threads create files meanwhile.
// Read once: nothing here changes it, and a release may bring thousands of new files.
mode_t readUmask()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
            if (line.startsWith("Umask:"))
                return mode_t(line.mid(6).trimmed().toUInt(nullptr, 8));
        }
    }
    return 022;
}

mode_t currentUmask()
{
    static const mode_t mask = readUmask();
    return mask;
}
#endif

// What is put in place must be the very file that was written: a regular file with no other name
// (a hard link would let whoever holds the other name change the installed file). Its bytes must
// be on disk before the rename makes it the installed file, or a crash could leave an empty file in
// its place. An executable must stay executable. A file new here would keep the private bits of
// the temporary file, unreadable to the users of the application: it gets those of a new file.
bool prepareReplacement(int handle, const QString &targetPath, bool sync = true, bool executable = false)
{
#ifdef Q_OS_WIN
    Q_UNUSED(targetPath);
    Q_UNUSED(executable);
    BY_HANDLE_FILE_INFORMATION information;
    const HANDLE file = HANDLE(_get_osfhandle(handle));
    return GetFileInformationByHandle(file, &information) && information.nNumberOfLinks == 1
        && !(information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && (!sync || _commit(handle) == 0);
#else
    struct stat written;
    if (::fstat(handle, &written) != 0 || !S_ISREG(written.st_mode) || written.st_nlink != 1)
        return false;
    struct stat replaced;
    if (::stat(QFile::encodeName(targetPath).constData(), &replaced) == 0) {
        if (S_ISDIR(replaced.st_mode) || ::fchmod(handle, replaced.st_mode & 07777) != 0)
            return false;
    } else {
        if (::fchmod(handle, (executable ? 0777 : 0666) & ~currentUmask()) != 0)
            return false;
    }
    return !sync || ::fsync(handle) == 0;
#endif
}

// The folder a file goes to, which is there already for all but the first of its files: one
// mkdir then, not mkpath's two looks.
bool makeFolder(const QString &path)
{
#ifndef Q_OS_WIN
    if (::mkdir(QFile::encodeName(path).constData(), 0777) == 0 || errno == EEXIST)
        return true; // anything but a folder there fails the move that follows
#endif
    return QDir().mkpath(path);
}

} // namespace

namespace LocalOperations {

bool moveOver(const QString &from, const QString &to)
{
#ifdef Q_OS_WIN
    // MOVEFILE_WRITE_THROUGH returns only once the move is on disk.
    return MoveFileExW(WindowsPath::native(from).c_str(), WindowsPath::native(to).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
#else
    return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
#endif
}

namespace {

bool isLink(const QFileInfo &entry)
{
    return entry.isSymLink() || entry.isJunction();
}

} // namespace

// A folder of the installation that is a link could lead anywhere, so no file is placed through one
// (even one that points back inside: telling those apart is not worth the risk). Folders that do not
// exist yet are made by us and are plain.
bool reachesTargetWithoutLinks(const QString &targetPath, const QString &installDir)
{
    const QString relative = pathBelow(targetPath, installDir);
    if (relative.isEmpty())
        return false;
    QString folder = QDir::cleanPath(installDir);
    if (!folder.endsWith('/')) // a root folder keeps its slash
        folder += '/';
    const QStringList below = relative.split('/');
    for (int i = 0; i + 1 < below.size(); ++i) {
        folder += below.at(i);
        const QFileInfo entry(folder); // no trailing slash: that would look through a link
        if (isLink(entry))
            return false;
        if (!entry.exists())
            break;
        folder += '/';
    }
    return true;
}

bool replaceFile(const QString &tempPath, const QString &targetPath, const QString &installDir, TempFolder *folder,
                 bool sync)
{
    const QFileInfo source(tempPath);
    const QFileInfo target(targetPath);
    // An empty temporary path names no file either.
    if (tempPath.isEmpty() || targetPath.isEmpty() || !reachesTargetWithoutLinks(targetPath, installDir)
        || !QDir().mkpath(target.absolutePath()))
        return false;
    if (folder && folder->handle(tempPath) >= 0) {
        return prepareReplacement(folder->handle(tempPath), targetPath, sync)
            && folder->moveOut(tempPath, target.absoluteFilePath());
    }
    // A file that is not the run's own is taken only when its name is no link.
    QFile file(tempPath);
    if (source.isSymLink() || source.isJunction() || !source.isFile() || !file.open(QIODevice::ReadOnly))
        return false;
    return prepareReplacement(file.handle(), targetPath, sync)
        && moveOver(source.absoluteFilePath(), target.absoluteFilePath());
}

bool moveInPlace(const QString &tempPath, const QString &targetPath, const QString &oldCopyPath,
                 const QString &installDir, TempFolder *folder, bool executable)
{
    const int handle = folder->handle(tempPath);
    const QFileInfo target(targetPath);
    // A folder at the target is refused: by the preparation's look at it, on Windows below.
    if (handle < 0 || targetPath.isEmpty() || !reachesTargetWithoutLinks(targetPath, installDir)
        || !makeFolder(target.absolutePath()) || !prepareReplacement(handle, targetPath, false, executable))
        return false;
#ifdef Q_OS_WIN
    if (target.isDir())
        return false;
    // A running executable can be moved aside where it cannot be replaced.
    const bool keptByLink = false;
#else
    // A second name keeps the old copy while one rename replaces it: the path never lacks a file.
    const bool keptByLink = !oldCopyPath.isEmpty()
        && ::link(QFile::encodeName(target.absoluteFilePath()).constData(), QFile::encodeName(oldCopyPath).constData()) == 0;
#endif
    if (!oldCopyPath.isEmpty() && !keptByLink && !moveOver(target.absoluteFilePath(), oldCopyPath))
        return false;
    if (folder->moveOut(tempPath, target.absoluteFilePath()))
        return true;
    if (!oldCopyPath.isEmpty())
        moveOver(oldCopyPath, target.absoluteFilePath());
    return false;
}

bool syncFile(const QString &path)
{
#ifdef Q_OS_WIN
    QFile file(path);
    return file.open(QIODevice::ReadWrite) && _commit(file.handle()) == 0;
#else
    const int handle = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    const bool synced = handle >= 0 && ::fsync(handle) == 0;
    if (handle >= 0)
        ::close(handle);
    return synced;
#endif
}

bool syncFolders(const QSet<QString> &folders)
{
    bool synced = true;
#ifndef Q_OS_WIN
    for (const QString &path : folders) {
        const int folder = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        synced = folder >= 0 && ::fsync(folder) == 0 && synced;
        if (folder >= 0)
            ::close(folder);
    }
#else
    Q_UNUSED(folders);
#endif
    return synced;
}

bool setModificationTime(const QString &path, const QDateTime &time)
{
#ifdef Q_OS_WIN
    QFile file(path);
    return file.open(QIODevice::ReadWrite) && file.setFileTime(time, QFileDevice::FileModificationTime);
#else
    // By name: a read-only installed file cannot be opened for writing, but its owner may stamp it.
    const qint64 ms = time.toMSecsSinceEpoch();
    const struct timespec times[2] = {{0, UTIME_OMIT}, {time_t(ms / 1000), long(ms % 1000) * 1000000}};
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW) == 0;
#endif
}

void removeTempFiles(const QString &tempFolder)
{
    // A linked folder is somebody else's: its *.tmp files are not ours to delete.
    if (isLink(QFileInfo(tempFolder)))
        return;
    const QDir folder(tempFolder);
    for (const QFileInfo &entry : folder.entryInfoList({"*.tmp"}, QDir::Files))
        QFile::remove(entry.absoluteFilePath());
}

} // namespace LocalOperations
