#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

class QIODevice;

// Applies the executable-aware form that ExecPatchMaker made. The installed file is first rewritten
// in place as the new release would hold it had only addresses moved (ExecutableImage::predict,
// by the patch's shifts), then a byte-level patch turns that into the new file. Untrusted like
// PatchApplier's input: whatever the patch holds, nothing is read outside it or base, and no more
// than maxSize bytes are written.
//
// Layout, integers 64-bit little-endian signed unless said:
//   0  "TRVXPX01"
//   8  compressed size of the shift block
//  16  shift block: one zstd frame of unsigned LEB128 varints: the count of shifts, then per shift
//      the distance of its old address from the previous one's (the first's from 0; later ones
//      above 0) and its delta, zigzag-coded
//   .. a patch in PatchApplier's layout from the predicted file to the new one, to the end
class ExecPatchApplier
{
    Q_DECLARE_TR_FUNCTIONS(ExecPatchApplier)

public:
    // base is rewritten whatever the outcome.
    bool apply(QByteArray *base, const QByteArray &patch, QIODevice *output, qint64 maxSize);
    QString errorString() const { return error; }

    static bool isExecPatch(const QByteArray &patch);

private:
    QString error;
};
