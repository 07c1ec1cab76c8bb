#include "manifest/versionentry.h"

VersionEntry::VersionEntry(const QString &version, const QString &path)
    : path(path)
{
    setVersion(version);
}

void VersionEntry::setVersion(const QString &text)
{
    version = text;
    const QStringList pieces = text.split('.', Qt::SkipEmptyParts);
    if (pieces.size() != 3)
        return;
    for (const QString &piece : pieces) {
        if (!Manifest::isAllDigits(piece))
            return;
    }
    // toInt() gives 0 for a number beyond the int range.
    major = pieces[0].toInt(nullptr, 10);
    minor = pieces[1].toInt(nullptr, 10);
    patch = pieces[2].toInt(nullptr, 10);
}

namespace Manifest {

bool isAllDigits(const QString &text)
{
    if (text.isEmpty())
        return false;
    // Characters outside Latin-1 become '?', so they fail the test like any other non-digit.
    const QByteArray bytes = text.toLatin1();
    for (char c : bytes) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

} // namespace Manifest
