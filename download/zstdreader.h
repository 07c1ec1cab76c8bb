#pragma once

#include <QByteArray>
#include <QString>

class QIODevice;
struct ZSTD_DCtx_s;

// Decompresses the zstd frames a device holds as a stream: only as much as is asked for, through a
// window of bounded size, whatever the frames claim.
class ZstdReader
{
public:
    enum Problem { None, NoMemory, Damaged, CutShort, Unreadable };

    // Reads source from where it stands, opened for reading first when it is not open.
    ZstdReader(QIODevice *source, int maxWindowLog);
    ~ZstdReader();
    ZstdReader(const ZstdReader &) = delete;
    ZstdReader &operator=(const ZstdReader &) = delete;

    // Up to size bytes, fewer only where the last frame ends; -1 on a problem.
    qint64 read(char *into, qint64 size);
    Problem problem() const { return trouble; }
    // zstd's words for the damage, or the device's for what it could not read.
    QString detail() const { return words; }

private:
    qint64 fail(Problem problem, const QString &detail = QString());

    ZSTD_DCtx_s *context;
    QIODevice *source;
    QByteArray input;
    qint64 consumed = 0; // of input
    size_t pending = 0;  // what zstd last said remains of the frame; zero between frames
    Problem trouble = None;
    QString words;
};
