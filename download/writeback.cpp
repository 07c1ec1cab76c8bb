#include "download/writeback.h"

#ifdef Q_OS_LINUX
#include <fcntl.h>
#endif

namespace {

constexpr qint64 stepBytes = 8 * 1024 * 1024;

} // namespace

void WriteBack::written(int fd, qint64 size)
{
#ifdef Q_OS_LINUX
    while (size - handedOver >= stepBytes) {
        ::sync_file_range(fd, handedOver, stepBytes, SYNC_FILE_RANGE_WRITE);
        // The step before has had a whole step's time to reach the disk: waiting for it rarely
        // waits, and holds the download to the disk's pace instead of filling memory.
        if (handedOver >= stepBytes) {
            const qint64 previous = handedOver - stepBytes;
            ::sync_file_range(fd, previous, stepBytes,
                              SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
            ::posix_fadvise(fd, previous, stepBytes, POSIX_FADV_DONTNEED);
        }
        handedOver += stepBytes;
    }
#else
    Q_UNUSED(fd);
    Q_UNUSED(size);
#endif
}

void WriteBack::reset()
{
    handedOver = 0;
}
