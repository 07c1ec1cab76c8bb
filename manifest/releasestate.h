#pragma once

#include <QByteArray>
#include <QString>

namespace Manifest {

// The sequence of the last signed release installed completely, kept in a file of the updater's
// own beside version.xml so that an older signed release is refused later. A missing or unreadable
// file reads as 0: no release yet.
qint64 readReleaseSequence(const QString &path);
bool writeReleaseSequence(const QString &path, qint64 sequence);
// The bytes writeReleaseSequence() puts in the file.
QByteArray releaseSequenceBytes(qint64 sequence);

} // namespace Manifest
