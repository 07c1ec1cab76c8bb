#include "download/execpatchapplier.h"

#include "download/executableimage.h"
#include "download/patchapplier.h"
#include "download/patchformat.h"
#include "download/zstdreader.h"

#include <QBuffer>

#include <cstring>

using namespace ExecPatchFormat;

namespace {

// The next unsigned LEB128 varint of bytes from *at; false when it is cut short or too long.
bool readVarint(const QByteArray &bytes, qint64 *at, quint64 *value)
{
    *value = 0;
    for (int shift = 0; shift < 64 && *at < bytes.size(); shift += 7) {
        const uchar byte = uchar(bytes[int((*at)++)]);
        *value |= quint64(byte & 0x7f) << shift;
        if (!(byte & 0x80))
            return true;
    }
    return false;
}

} // namespace

bool ExecPatchApplier::isExecPatch(const QByteArray &patch)
{
    return patch.size() >= headerSize && std::memcmp(patch.constData(), magic, 8) == 0;
}

bool ExecPatchApplier::apply(QByteArray *base, const QByteArray &patch, QIODevice *output, qint64 maxSize)
{
    error.clear();
    if (!isExecPatch(patch)) {
        error = tr("the patch is not in a format this updater reads");
        return false;
    }
    const qint64 blockSize = PatchFormat::int64At(patch.constData() + 8);
    if (blockSize < 0 || blockSize > patch.size() - headerSize) {
        error = tr("the patch is shorter than its shift block");
        return false;
    }

    QByteArray compressed = QByteArray::fromRawData(patch.constData() + headerSize, int(blockSize));
    QBuffer device(&compressed);
    ZstdReader reader(&device, PatchFormat::windowLog);
    // Grown as it decompresses: a few shifts take a few bytes, however many the bound allows.
    QByteArray block;
    for (qint64 made = 1; made > 0 && block.size() <= maxShiftBlock;) {
        const int start = block.size();
        block.resize(start + (1 << 16));
        made = reader.read(block.data() + start, 1 << 16);
        if (made < 0) {
            error = tr("the patch's shift block is damaged");
            return false;
        }
        block.resize(start + int(made));
    }
    if (block.size() > maxShiftBlock) {
        error = tr("the patch's shift block is too large");
        return false;
    }

    qint64 at = 0;
    quint64 count = 0;
    if (!readVarint(block, &at, &count) || count > quint64(maxShifts)) {
        error = tr("the patch's shift block gives no valid count");
        return false;
    }
    std::vector<ExecutableImage::Shift> shifts(count);
    quint64 from = 0;
    for (quint64 i = 0; i < count; ++i) {
        quint64 gap = 0, zigzag = 0;
        if (!readVarint(block, &at, &gap) || !readVarint(block, &at, &zigzag)
            || (i > 0 && gap == 0) || gap > ~quint64(0) - from) {
            error = tr("the patch's shift block is malformed");
            return false;
        }
        from += gap;
        shifts[i] = {from, qint64(zigzag >> 1) ^ -qint64(zigzag & 1)};
    }
    if (at != block.size()) {
        error = tr("the patch's shift block holds more than its shifts");
        return false;
    }

    ExecutableImage image;
    if (!image.parse(*base)) {
        error = tr("the installed file is not an executable this patch applies to");
        return false;
    }
    image.predict(base, shifts);
    PatchApplier bytes;
    const QByteArray rest = QByteArray::fromRawData(patch.constData() + headerSize + blockSize,
                                                    int(patch.size() - headerSize - blockSize));
    if (!bytes.apply(*base, rest, output, maxSize)) {
        error = bytes.errorString();
        return false;
    }
    return true;
}
