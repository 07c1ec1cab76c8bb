#include "app/localoperations.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// The new bytes must be on disk before the rename makes them the installed file, or a crash could
// leave an empty file in its place. An executable must stay executable.
bool prepareReplacement(const QString &tempPath, const QString &targetPath)
{
    QFile file(tempPath);
    if (!file.open(QIODevice::ReadWrite))
        return false;
#ifdef Q_OS_WIN
    Q_UNUSED(targetPath);
    return _commit(file.handle()) == 0;
#else
    struct stat replaced;
    if (::stat(QFile::encodeName(targetPath).constData(), &replaced) == 0
        && ::fchmod(file.handle(), replaced.st_mode & 07777) != 0)
        return false;
    return ::fsync(file.handle()) == 0;
#endif
}

// One rename over the target: the path never lacks a file, and a refused rename leaves it as it was.
bool renameOver(const QString &from, const QString &to)
{
#ifdef Q_OS_WIN
    return MoveFileExW(reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(from).utf16()),
                       reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(to).utf16()),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
#else
    return ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
#endif
}

} // namespace

bool replaceFile(const QString &tempPath, const QString &targetPath)
{
    const QFileInfo source(tempPath);
    const QFileInfo target(targetPath);
    // An empty temporary path names no file either.
    if (!source.isFile() || targetPath.isEmpty())
        return false;
    return QDir().mkpath(target.absolutePath()) && prepareReplacement(tempPath, targetPath)
        && renameOver(source.absoluteFilePath(), target.absoluteFilePath());
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
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
#endif
}

void removeTempFiles(const QString &tempFolder)
{
    const QDir folder(tempFolder);
    for (const QFileInfo &entry : folder.entryInfoList({"*.tmp"}, QDir::Files))
        QFile::remove(entry.absoluteFilePath());
}
