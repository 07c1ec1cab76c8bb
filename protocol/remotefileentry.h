#pragma once

#include <QDateTime>
#include <QMap>
#include <QPair>
#include <QString>

#include "manifest/versionentry.h"

// How a release writes a file's "modified_time": local time, without a zone.
constexpr const char *modifiedTimeFormat = "yyyy-MM-ddThh:mm:ss";

// A "modified_time" as the format reads it. A release gives its thousands of files a few times
// (often one), and parsing one costs microseconds: the text read last and its time are kept in *last.
QDateTime readModifiedTime(const QString &text, QPair<QString, QDateTime> *last);

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
