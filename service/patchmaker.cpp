#include "service/patchmaker.h"

bool PatchMaker::make(const QByteArray &oldBytes, const QByteArray &newBytes, QByteArray *patch)
{
    Q_UNUSED(oldBytes);
    Q_UNUSED(newBytes);
    Q_UNUSED(patch);
    error = tr("patches are not made yet");
    return false;
}
