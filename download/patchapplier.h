#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

class QIODevice;

// Applies a patch that PatchMaker made to the bytes of the installed file, writing the new file to
// output as it is made. A patch is data from the network: whatever it holds, nothing is read
// outside base or patch, and no more than maxSize bytes are written.
//
// Layout, integers 64-bit little-endian signed:
//   0  "TRVXPT01"
//   8  size of the new file
//  16  compressed size of the control block
//  24  compressed size of the diff block
//  32  compressed size of the extra block
//  40  control block, diff block, extra block: each zstd frames (window at most 8 MiB), and nothing after
// The control block is records of three integers (add, copy, seek). Each takes `add` bytes of the
// diff block, adds them bytewise to base from the current position on and writes the sums, then
// writes the next `copy` bytes of the extra block as they are, then moves the position in base by
// `seek`. The position starts at 0 and stays within base; the records make exactly the new size,
// and only the first may make nothing.
class PatchApplier
{
    Q_DECLARE_TR_FUNCTIONS(PatchApplier)

public:
    bool apply(const QByteArray &base, const QByteArray &patch, QIODevice *output, qint64 maxSize);
    QString errorString() const { return error; }

private:
    QString error;
};
