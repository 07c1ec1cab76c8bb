#include "download/patchapplier.h"

bool PatchApplier::apply(const QByteArray &base, const QByteArray &patch, QIODevice *output, qint64 maxSize)
{
    Q_UNUSED(base);
    Q_UNUSED(patch);
    Q_UNUSED(output);
    Q_UNUSED(maxSize);
    error = tr("patches are not applied yet");
    return false;
}
