#include "manifest/releasestate.h"

#include <QFile>
#include <QSaveFile>

namespace Manifest {

qint64 readReleaseSequence(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    bool ok = false;
    const qint64 sequence = file.read(32).trimmed().toLongLong(&ok);
    return ok && sequence > 0 ? sequence : 0;
}

QByteArray releaseSequenceBytes(qint64 sequence)
{
    return QByteArray::number(sequence) + '\n';
}

bool writeReleaseSequence(const QString &path, qint64 sequence)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(releaseSequenceBytes(sequence)) > 0 && file.commit();
}

} // namespace Manifest
