#pragma once

#include <QtGlobal>

// What PatchMaker writes and PatchApplier reads; patchapplier.h has the layout.
namespace PatchFormat {

constexpr char magic[] = "TRVXPT01";
constexpr qint64 headerSize = 40;
// The largest window a block may use, 8 MiB: the applier refuses more to bound its memory.
constexpr int windowLog = 23;

// 64-bit little-endian signed, as every integer of the format.
inline qint64 int64At(const char *at)
{
    quint64 bits = 0;
    for (int i = 7; i >= 0; --i)
        bits = (bits << 8) | uchar(at[i]);
    return qint64(bits);
}

inline void setInt64(char *at, qint64 value)
{
    quint64 bits = quint64(value);
    for (int i = 0; i < 8; ++i, bits >>= 8)
        at[i] = char(bits & 0xff);
}

} // namespace PatchFormat

// The executable-aware form: what ExecPatchMaker writes and ExecPatchApplier reads.
namespace ExecPatchFormat {

constexpr char magic[] = "TRVXPX01";
constexpr qint64 headerSize = 16;
// Address shifts a patch may carry: far more than a release's moved functions, little to hold.
constexpr qint64 maxShifts = qint64(1) << 18;
// A shift takes at most two varints of ten bytes, the count one more.
constexpr qint64 maxShiftBlock = 10 + maxShifts * 20;

} // namespace ExecPatchFormat
