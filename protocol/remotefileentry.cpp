#include "protocol/remotefileentry.h"

RemoteFileEntry::RemoteFileEntry(const VersionEntry &entry, const QDateTime &modifiedTime)
    : entry(entry)
    , modifiedTime(modifiedTime)
{
}

bool RemoteFileEntry::needsUpdateFrom(const RemoteFileEntry &offered) const
{
    const VersionEntry &other = offered.entry;
    if (entry.major == other.major && entry.minor == other.minor && entry.patch == other.patch)
        return modifiedTime < offered.modifiedTime; // Qt puts an invalid time before every valid one
    return true;
}

QDateTime readModifiedTime(const QString &text, QPair<QString, QDateTime> *last)
{
    if (text != last->first) // an empty text reads as no time, as the first one kept
        *last = {text, QDateTime::fromString(text, modifiedTimeFormat)};
    return last->second;
}
