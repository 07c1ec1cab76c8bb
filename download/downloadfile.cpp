#include "download/downloadfile.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QNetworkReply>

#ifdef Q_OS_WIN
#include <QStorageInfo>
#else
#include <sys/statvfs.h>
#endif
#ifdef Q_OS_LINUX
#include <fcntl.h>
#endif

namespace {

constexpr qint64 writeBackStep = 8 * 1024 * 1024;
// Asking for every chunk costs a release of small files a system call a file; others' writes are
// seen within this.
constexpr int freeSpaceAgeMs = 250;

// Bytes we may still write on the volume holding the folder; -1 when the system does not say.
// On POSIX one statvfs rather than QStorageInfo's mount table.
qint64 freeDiskBytes(const QString &folder)
{
#ifdef Q_OS_WIN
    const QStorageInfo volume(folder);
    return volume.isValid() ? volume.bytesAvailable() : -1;
#else
    struct statvfs volume;
    if (::statvfs(QFile::encodeName(folder).constData(), &volume) != 0)
        return -1;
    return qint64(volume.f_bavail) * qint64(volume.f_frsize);
#endif
}

} // namespace

void DownloadFile::reset(const QString &path, int handle, const ContentCheck &check)
{
    this->path = path;
    // A temporary file's path is whole: its folder is all before the last slash.
    const int slash = path.lastIndexOf('/');
    const QString folder = slash > 0 && QDir::isAbsolutePath(path) ? path.left(slash) : QFileInfo(path).absolutePath();
    if (folder != this->folder)
        seenAt.invalidate();
    this->folder = folder;
    this->handle = handle;
    file.setFileName(path);
    written = 0;
    handedOver = 0;
    this->check = check;
    firstCheck = check;
}

DownloadError DownloadFile::writeError() const
{
    return {QNetworkReply::OperationCanceledError,
            tr("Cannot write %1: %2").arg(QDir::toNativeSeparators(path), file.errorString())};
}

DownloadError DownloadFile::roomFor(qint64 bytes, qint64 minFreeBytes)
{
    const auto ask = [this] {
        freeSeen = freeDiskBytes(folder);
        writtenSinceSeen = 0;
        seenAt.start();
    };
    const bool stale = !seenAt.isValid() || seenAt.hasExpired(freeSpaceAgeMs);
    if (stale)
        ask();
    // Only the disk's own answer stops a download: one we shortened since has more room than counted.
    if (!stale && freeSeen >= 0 && freeSeen - writtenSinceSeen - bytes < minFreeBytes)
        ask();
    const qint64 free = freeSeen - writtenSinceSeen;
    if (freeSeen < 0 || free - bytes >= minFreeBytes)
        return {};
    const QLocale locale;
    return {QNetworkReply::OperationCanceledError,
            tr("Stopped with %1 left on the disk holding %2: %3 more would leave less than %4 free")
                .arg(locale.formattedDataSize(free), QDir::toNativeSeparators(folder), locale.formattedDataSize(bytes),
                     locale.formattedDataSize(minFreeBytes))};
}

DownloadError DownloadFile::open()
{
    if (file.isOpen())
        return {};
    if (path.isEmpty())
        return {QNetworkReply::OperationCanceledError, tr("No file was named to receive the download")};
    if (handle < 0)
        return file.open(QIODevice::Append | QIODevice::Unbuffered) ? DownloadError() : writeError();
    // The caller's open file; a download begun again starts it over. A file already empty is not
    // truncated: on ext4 that alone makes its close write it out at once.
    if (!file.open(handle, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::DontCloseHandle)
        || (file.size() > 0 && !file.resize(0)) || !file.seek(0)) {
        const DownloadError error = writeError();
        file.close();
        return error;
    }
    return {};
}

DownloadError DownloadFile::append(const QByteArray &data, qint64 minFreeBytes)
{
    DownloadError error = roomFor(data.size(), minFreeBytes);
    if (!error.failed())
        error = open();
    if (error.failed())
        return error;
    if (!check.add(data))
        return {QNetworkReply::UnknownContentError, check.errorString()};
    if (file.write(data) != data.size())
        return writeError();
    written += data.size();
    writtenSinceSeen += data.size();
    handOver();
    return {};
}

void DownloadFile::handOver()
{
#ifdef Q_OS_LINUX
    const int fd = file.handle();
    while (written - handedOver >= writeBackStep) {
        ::sync_file_range(fd, handedOver, writeBackStep, SYNC_FILE_RANGE_WRITE);
        // The step before has had a whole step's time to reach the disk: waiting for it rarely
        // waits, and holds the download to the disk's pace instead of filling memory.
        if (handedOver >= writeBackStep) {
            const qint64 previous = handedOver - writeBackStep;
            ::sync_file_range(fd, previous, writeBackStep,
                              SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
            ::posix_fadvise(fd, previous, writeBackStep, POSIX_FADV_DONTNEED);
        }
        handedOver += writeBackStep;
    }
#endif
}

DownloadError DownloadFile::startOver()
{
    written = 0;
    check = firstCheck;
    handedOver = 0;
    if (file.isOpen() && (!file.resize(0) || !file.seek(0)))
        return writeError();
    return {};
}

DownloadError DownloadFile::checkComplete()
{
    if (!check.finish())
        return {QNetworkReply::UnknownContentError, check.errorString()};
    return open(); // an empty body still leaves its (empty) file
}

DownloadError DownloadFile::close()
{
    // Bytes other than the release's must not linger.
    const bool refused = !check.errorString().isEmpty();
    if (refused && handle >= 0 && file.isOpen())
        file.resize(0);
    file.close();
    if (refused && handle < 0)
        file.remove();
    return file.error() != QFileDevice::NoError ? writeError() : DownloadError();
}
