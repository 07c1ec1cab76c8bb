#pragma once

#include <QByteArray>
#include <QString>

#include "manifest/versionentry.h"

namespace Manifest {

// A file that is missing, unreadable, not XML or nested too deep reads as an empty manifest.
VersionManifest readVersionManifest(const QString &path);
// The same for the file's bytes.
VersionManifest versionManifestFromXml(const QByteArray &xml);
QString versionManifestToXml(VersionManifest manifest);
bool writeTextFile(const QString &text, const QString &path);
// The bytes writeTextFile() puts in the file.
QByteArray textFileBytes(const QString &text);

} // namespace Manifest
