#include "service/patchmaker.h"

#include "download/patchformat.h"

#include <divsufsort.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

qint64 matchLength(const uchar *a, qint64 aSize, const uchar *b, qint64 bSize)
{
    const qint64 limit = std::min(aSize, bSize);
    qint64 i = 0;
    while (i < limit && a[i] == b[i])
        ++i;
    return i;
}

// The longest match of target's start in old, by binary search over old's sorted suffixes.
qint64 longestMatch(const std::vector<saidx_t> &suffixes, const uchar *old, qint64 oldSize,
                    const uchar *target, qint64 targetSize, qint64 *position)
{
    qint64 low = 0;
    qint64 high = oldSize - 1;
    while (high - low >= 2) {
        const qint64 middle = low + (high - low) / 2;
        const qint64 at = suffixes[middle];
        const size_t length = size_t(std::min(oldSize - at, targetSize));
        const int order = std::memcmp(old + at, target, length);
        // A suffix that is a prefix of the target sorts before it: taking it as equal or greater
        // misleads the search in periodic data and costs a search at every byte.
        if (order < 0 || (order == 0 && oldSize - at < targetSize))
            low = middle;
        else
            high = middle;
    }
    const qint64 lowLength = matchLength(old + suffixes[low], oldSize - suffixes[low], target, targetSize);
    const qint64 highLength = matchLength(old + suffixes[high], oldSize - suffixes[high], target, targetSize);
    if (lowLength >= highLength) {
        *position = suffixes[low];
        return lowLength;
    }
    *position = suffixes[high];
    return highLength;
}

void putInt64(QByteArray *into, qint64 value)
{
    char bytes[8];
    PatchFormat::setInt64(bytes, value);
    into->append(bytes, 8);
}

} // namespace

bool PatchMaker::make(const QByteArray &oldBytes, const QByteArray &newBytes, QByteArray *patch)
{
    error.clear();
    // The suffix array has 32-bit indexes.
    if (qint64(oldBytes.size()) >= (qint64(1) << 31) || qint64(newBytes.size()) >= (qint64(1) << 31)) {
        error = tr("files of 2 GiB or more cannot be patched");
        return false;
    }
    const uchar *old = reinterpret_cast<const uchar *>(oldBytes.constData());
    const uchar *fresh = reinterpret_cast<const uchar *>(newBytes.constData());
    const qint64 oldSize = oldBytes.size();
    const qint64 newSize = newBytes.size();

    std::vector<saidx_t> suffixes;
    if (oldSize > 0) {
        suffixes.resize(size_t(oldSize));
        if (divsufsort(old, suffixes.data(), saidx_t(oldSize)) != 0) {
            error = tr("the old file's suffixes could not be sorted");
            return false;
        }
    }

    // Every new byte lands in either the diff or the extra block; reserved pages that stay unused
    // cost no memory.
    QByteArray control;
    QByteArray diff;
    QByteArray extra;
    diff.reserve(int(newSize));
    extra.reserve(int(newSize));

    qint64 scan = 0;
    qint64 length = 0;
    qint64 position = 0;
    qint64 lastScan = 0;
    qint64 lastPosition = 0;
    qint64 lastOffset = 0;
    while (scan < newSize) {
        // Find the next place where a fresh match beats the alignment in use by enough to pay
        // for a control record.
        qint64 oldScore = 0;
        qint64 scored = scan += length;
        for (; scan < newSize; ++scan) {
            length = oldSize > 0
                ? longestMatch(suffixes, old, oldSize, fresh + scan, newSize - scan, &position)
                : 0;
            for (; scored < scan + length; ++scored) {
                if (scored + lastOffset < oldSize && old[scored + lastOffset] == fresh[scored])
                    ++oldScore;
            }
            if ((length == oldScore && length != 0) || length > oldScore + 8)
                break;
            if (scan + lastOffset < oldSize && old[scan + lastOffset] == fresh[scan])
                --oldScore;
        }
        if (length == oldScore && scan != newSize)
            continue;

        // Stretch the last alignment forwards and the new match backwards while more than half
        // their bytes agree: near-equal code differs in scattered addresses.
        qint64 forward = 0;
        {
            qint64 same = 0;
            qint64 best = 0;
            for (qint64 i = 0; lastScan + i < scan && lastPosition + i < oldSize;) {
                if (old[lastPosition + i] == fresh[lastScan + i])
                    ++same;
                ++i;
                if (same * 2 - i > best * 2 - forward) {
                    best = same;
                    forward = i;
                }
            }
        }
        qint64 backward = 0;
        if (scan < newSize) {
            qint64 same = 0;
            qint64 best = 0;
            for (qint64 i = 1; scan >= lastScan + i && position >= i; ++i) {
                if (old[position - i] == fresh[scan - i])
                    ++same;
                if (same * 2 - i > best * 2 - backward) {
                    best = same;
                    backward = i;
                }
            }
        }
        if (lastScan + forward > scan - backward) {
            // The two stretches overlap: split where the fewest bytes disagree.
            const qint64 overlap = (lastScan + forward) - (scan - backward);
            qint64 same = 0;
            qint64 best = 0;
            qint64 split = 0;
            for (qint64 i = 0; i < overlap; ++i) {
                if (fresh[lastScan + forward - overlap + i] == old[lastPosition + forward - overlap + i])
                    ++same;
                if (fresh[scan - backward + i] == old[position - backward + i])
                    --same;
                if (same > best) {
                    best = same;
                    split = i + 1;
                }
            }
            forward += split - overlap;
            backward -= split;
        }

        const int diffStart = diff.size();
        diff.append(reinterpret_cast<const char *>(fresh + lastScan), int(forward));
        char *added = diff.data() + diffStart;
        for (qint64 i = 0; i < forward; ++i)
            added[i] = char(uchar(added[i]) - old[lastPosition + i]);
        const qint64 copied = (scan - backward) - (lastScan + forward);
        extra.append(reinterpret_cast<const char *>(fresh + lastScan + forward), int(copied));
        const qint64 seek = (position - backward) - (lastPosition + forward);
        if (forward == 0 && copied == 0 && !control.isEmpty()) {
            // The applier takes a record that writes nothing only first: fold its move into the last.
            char *last = control.data() + control.size() - 8;
            PatchFormat::setInt64(last, PatchFormat::int64At(last) + seek);
        } else {
            putInt64(&control, forward);
            putInt64(&control, copied);
            putInt64(&control, seek);
        }

        lastScan = scan - backward;
        lastPosition = position - backward;
        lastOffset = position - scan;
    }
    std::vector<saidx_t>().swap(suffixes);

    ZSTD_CCtx *context = ZSTD_createCCtx();
    if (!context) {
        error = tr("out of memory while compressing the patch");
        return false;
    }
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 19);
    ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, PatchFormat::windowLog);
    // A library built without threads refuses this; it then compresses on one.
    ZSTD_CCtx_setParameter(context, ZSTD_c_nbWorkers, 2);

    QByteArray out;
    out.append(PatchFormat::magic, 8);
    putInt64(&out, newSize);
    putInt64(&out, 0);
    putInt64(&out, 0);
    putInt64(&out, 0);
    QByteArray *blocks[] = {&control, &diff, &extra};
    for (int i = 0; i < 3; ++i) {
        const QByteArray &block = *blocks[i];
        const int start = out.size();
        const size_t bound = ZSTD_compressBound(size_t(block.size()));
        out.resize(start + int(bound));
        const size_t written = ZSTD_compress2(context, out.data() + start, bound, block.constData(),
                                              size_t(block.size()));
        if (ZSTD_isError(written)) {
            ZSTD_freeCCtx(context);
            error = tr("the patch could not be compressed: %1").arg(QString::fromLatin1(ZSTD_getErrorName(written)));
            return false;
        }
        out.resize(start + int(written));
        PatchFormat::setInt64(out.data() + 16 + 8 * i, qint64(written));
        *blocks[i] = QByteArray();
    }
    ZSTD_freeCCtx(context);
    *patch = out;
    return true;
}
