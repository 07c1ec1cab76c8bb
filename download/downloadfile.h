#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QString>

#include "download/contentcheck.h"
#include "download/downloaderror.h"

// The file a download writes: opened with the first bytes, appended to as the body arrives, held
// to its check, and kept from filling the disk. Its bytes are handed to the disk while it is still
// being written, a few MiB at a time, and dropped from the page cache once there: the sync before
// it is put in place then finds almost nothing left to write, and a large download does not crowd
// out the cache (only a hint to the system; where it cannot be given, not Linux, nothing happens).
class DownloadFile
{
    Q_DECLARE_TR_FUNCTIONS(DownloadFile)

public:
    // A new download into path or, with a handle (a C runtime descriptor, which stays the
    // caller's), into that open file from its start, never through the path.
    void reset(const QString &path, int handle, const ContentCheck &check);
    qint64 size() const { return written; }
    // -1 when no size is listed.
    qint64 listedSize() const { return firstCheck.isActive() ? firstCheck.listedSize() : -1; }

    // An error when bytes more would leave the disk holding the file with less than minFreeBytes.
    DownloadError roomFor(qint64 bytes, qint64 minFreeBytes);
    DownloadError open();
    DownloadError append(const QByteArray &data, qint64 minFreeBytes);
    // Back to an empty file and a fresh check: the server sends the file whole again.
    DownloadError startOver();
    // An error when the bytes held are not those the check expects; an empty body still makes its file.
    DownloadError checkComplete();
    // Done with the file; bytes the check refused do not linger. An error when it was not written whole.
    DownloadError close();

private:
    DownloadError writeError() const;
    void handOver();

    QString path;
    QString folder;
    int handle = -1;
    // The disk is asked a few times a second; in between, our own bytes are counted off its answer.
    qint64 freeSeen = -1;
    qint64 writtenSinceSeen = 0;
    QElapsedTimer seenAt;
    QFile file;
    qint64 written = 0;
    qint64 handedOver = 0; // bytes whose write-back has been started
    ContentCheck check;
    ContentCheck firstCheck; // as before the first byte, for a file started over
};
