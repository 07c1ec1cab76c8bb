// An executable-aware patch from the network, against any base: refused, or at most its bound written.
#include <QBuffer>
#include <QByteArray>
#include <algorithm>
#include <cstdlib>

#include "download/execpatchapplier.h"

// Input: base size (2 bytes, little-endian), base, patch. The seeds hold a small shared object and
// a patch to it, so that mutations reach the image's parse and the rewriting of its references.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const char *bytes = reinterpret_cast<const char *>(data);
    const size_t baseSize = std::min<size_t>(size - 2, size_t(data[0]) | size_t(data[1]) << 8);
    QByteArray base(bytes + 2, int(baseSize));
    const QByteArray patch = QByteArray::fromRawData(bytes + 2 + baseSize, int(size - 2 - baseSize));
    const qint64 maxSize = 1 << 20;
    QByteArray written;
    QBuffer output(&written);
    output.open(QIODevice::WriteOnly);
    ExecPatchApplier applier;
    const bool applied = applier.apply(&base, patch, &output, maxSize);
    if (written.size() > maxSize || (!applied && applier.errorString().isEmpty()))
        std::abort();
    return 0;
}
