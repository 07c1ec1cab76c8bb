#pragma once

#include <QtGlobal>

// Hands a file's bytes to the disk while the file is still being written, a few MiB at a time,
// and drops them from the page cache once they are on disk. The sync before the file is put in
// place then finds almost nothing left to write, and a large download does not crowd out the
// cache. Only a hint to the system: where it cannot be given (not Linux), nothing happens.
class WriteBack
{
public:
    // The file open on fd now holds size bytes, written from its start.
    void written(int fd, qint64 size);
    // A new file follows.
    void reset();

private:
    qint64 handedOver = 0; // bytes whose write-back has been started
};
