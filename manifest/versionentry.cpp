#include "manifest/versionentry.h"

VersionEntry::VersionEntry(const QString &version, const QString &path)
    : path(path)
{
    setVersion(version);
}

void VersionEntry::setVersion(const QString &text)
{
    version = text;
}

bool isAllDigits(const QString &text)
{
    Q_UNUSED(text);
    return false;
}
