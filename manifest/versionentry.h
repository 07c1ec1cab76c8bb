#pragma once

#include <QMap>
#include <QString>

// One file of a release: its version text, its path relative to the installation directory and
// the three numbers parsed from the version text.
struct VersionEntry
{
    VersionEntry() = default;
    VersionEntry(const QString &version, const QString &path);

    void setVersion(const QString &text);

    QString version;
    QString path;
    int major = 0;
    int minor = 0;
    int patch = 0;
};

using VersionManifest = QMap<QString, VersionEntry>;

namespace Manifest {

bool isAllDigits(const QString &text);

} // namespace Manifest
