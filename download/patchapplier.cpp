#include "download/patchapplier.h"

#include "download/patchformat.h"
#include "download/zstdreader.h"

#include <QBuffer>

#include <algorithm>
#include <cstring>
#include <vector>

using namespace PatchFormat;

namespace {

const qint64 chunkSize = 64 * 1024;

// One block of the patch, read as a stream; what goes wrong is said in *error.
class Block
{
    Q_DECLARE_TR_FUNCTIONS(PatchApplier)

public:
    Block(const char *data, qint64 size, const QString &name, QString *error)
        : bytes(QByteArray::fromRawData(data, int(size)))
        , device(&bytes)
        , reader(&device, windowLog)
        , name(name)
        , error(error)
    {
    }

    // Exactly size bytes; false, saying why, when the block is damaged or ends before.
    bool read(char *into, qint64 size)
    {
        return reader.read(into, size) == size || fail(tr("the patch's %1 block ends too soon").arg(name));
    }
    // True when the block holds nothing more; false, saying why, otherwise.
    bool finish()
    {
        char byte;
        return reader.read(&byte, 1) == 0 || fail(tr("the patch's %1 block holds more than its control records use").arg(name));
    }

private:
    // whole: what is wrong when the stream itself is sound.
    bool fail(const QString &whole)
    {
        const ZstdReader::Problem problem = reader.problem();
        *error = problem == ZstdReader::None     ? whole
               : problem == ZstdReader::NoMemory ? tr("out of memory while reading the patch")
               : problem == ZstdReader::Damaged  ? tr("the patch's %1 block is damaged: %2").arg(name, reader.detail())
                                                 : tr("the patch's %1 block is cut short").arg(name);
        return false;
    }

    QByteArray bytes;
    QBuffer device;
    ZstdReader reader;
    QString name;
    QString *error;
};

} // namespace

bool PatchApplier::apply(const QByteArray &base, const QByteArray &patch, QIODevice *output, qint64 maxSize)
{
    error.clear();
    if (patch.size() < headerSize || std::memcmp(patch.constData(), magic, 8) != 0) {
        error = tr("the patch is not in a format this updater reads");
        return false;
    }
    const char *header = patch.constData();
    const qint64 newSize = int64At(header + 8);
    const qint64 lengths[3] = {int64At(header + 16), int64At(header + 24), int64At(header + 32)};
    if (newSize < 0) {
        error = tr("the patch gives a negative size for the new file");
        return false;
    }
    if (newSize > maxSize) {
        error = tr("the patch makes a file of %1 bytes, more than the %2 expected").arg(newSize).arg(maxSize);
        return false;
    }
    qint64 total = headerSize;
    for (qint64 length : lengths) {
        if (length < 0) {
            error = tr("the patch gives a negative block size");
            return false;
        }
        // Compared with what is left rather than added first, so the sum cannot overflow.
        if (length > patch.size() - total) {
            error = tr("the patch is shorter than its blocks");
            return false;
        }
        total += length;
    }
    if (total != patch.size()) {
        error = tr("the patch has bytes after its last block");
        return false;
    }

    Block control(header + headerSize, lengths[0], tr("control"), &error);
    Block diff(header + headerSize + lengths[0], lengths[1], tr("diff"), &error);
    Block extra(header + headerSize + lengths[0] + lengths[1], lengths[2], tr("extra"), &error);
    std::vector<char> chunk(chunkSize);
    const uchar *old = reinterpret_cast<const uchar *>(base.constData());
    const qint64 oldSize = base.size();
    qint64 position = 0;
    qint64 written = 0;
    qint64 records = 0;

    auto write = [&](qint64 length) {
        if (output->write(chunk.data(), length) != length) {
            error = tr("the patched file could not be written: %1").arg(output->errorString());
            return false;
        }
        written += length;
        return true;
    };

    while (written < newSize) {
        char record[24];
        if (!control.read(record, sizeof record))
            return false;
        const qint64 add = int64At(record);
        const qint64 copy = int64At(record + 8);
        const qint64 seek = int64At(record + 16);
        if (add < 0 || copy < 0) {
            error = tr("the patch has a control record with a negative length");
            return false;
        }
        // Only the first record may write nothing: a block of empty records is work without end.
        if (add == 0 && copy == 0 && records > 0) {
            error = tr("the patch has a control record that makes nothing");
            return false;
        }
        ++records;
        if (add > newSize - written || copy > newSize - written - add) {
            error = tr("the patch's control records make more than its new size of %1 bytes").arg(newSize);
            return false;
        }
        if (add > oldSize - position) {
            error = tr("the patch reads past the end of the installed file");
            return false;
        }
        for (qint64 done = 0; done < add;) {
            const qint64 length = std::min(chunkSize, add - done);
            if (!diff.read(chunk.data(), length))
                return false;
            const uchar *from = old + position + done;
            for (qint64 i = 0; i < length; ++i)
                chunk[size_t(i)] = char(uchar(chunk[size_t(i)]) + from[i]);
            if (!write(length))
                return false;
            done += length;
        }
        position += add;
        for (qint64 done = 0; done < copy;) {
            const qint64 length = std::min(chunkSize, copy - done);
            if (!extra.read(chunk.data(), length))
                return false;
            if (!write(length))
                return false;
            done += length;
        }
        // Seeks are bounded by base's size before they are added, so the sum cannot overflow.
        if (seek < -oldSize || seek > oldSize || position + seek < 0 || position + seek > oldSize) {
            error = tr("the patch moves outside the installed file");
            return false;
        }
        position += seek;
    }
    for (Block *block : {&control, &diff, &extra}) {
        if (!block->finish())
            return false;
    }
    return true;
}
