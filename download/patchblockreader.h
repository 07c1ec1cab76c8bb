#pragma once

#include <QCoreApplication>
#include <QString>

struct ZSTD_DCtx_s;

// Reads one zstd-compressed block of a patch as a stream: only as much is decompressed as is asked
// for, through a window of bounded size, whatever the block claims.
class PatchBlockReader
{
    Q_DECLARE_TR_FUNCTIONS(PatchBlockReader)

public:
    // The largest window a block may use: 8 MiB, what the maker uses.
    static const int maxWindowLog = 23;

    PatchBlockReader(const char *data, qint64 size, const QString &name);
    ~PatchBlockReader();
    PatchBlockReader(const PatchBlockReader &) = delete;
    PatchBlockReader &operator=(const PatchBlockReader &) = delete;

    // Exactly size bytes; false, saying why, when the block is damaged or ends before.
    bool read(char *into, qint64 size);
    // True when the block holds nothing more; false, saying why, otherwise.
    bool finish();
    QString errorString() const { return error; }

private:
    bool decompress(char *into, qint64 size, qint64 *produced);

    ZSTD_DCtx_s *context;
    const char *data;
    qint64 size;
    qint64 consumed = 0;
    // What zstd last said remains of the frame; zero between frames.
    size_t pending = 0;
    QString name;
    QString error;
};
