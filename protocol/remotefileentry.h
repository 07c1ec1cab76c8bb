#pragma once

#include <QDateTime>
#include <QMap>
#include <QString>

#include "manifest/versionentry.h"

// How a release writes a file's "modified_time": local time, without a zone.
constexpr const char *modifiedTimeFormat = "yyyy-MM-ddThh:mm:ss";

// A file with its version and a modification time: a file the service offers, or the state of
// an installed file.
struct RemoteFileEntry
{
    RemoteFileEntry() = default;
    RemoteFileEntry(const VersionEntry &entry, const QDateTime &modifiedTime);

    bool needsUpdateFrom(const RemoteFileEntry &offered) const;

    VersionEntry entry;
    QDateTime modifiedTime;
};
