#include "protocol/remotefileentry.h"

#include <QFileInfo>

#include "manifest/versionmanifest.h"

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

QMap<QString, RemoteFileEntry> readInstalledState(const QString &manifestPath, const QString &installDir)
{
    QMap<QString, RemoteFileEntry> installed;
    const VersionManifest manifest = readVersionManifest(manifestPath);
    for (auto it = manifest.cbegin(); it != manifest.cend(); ++it)
        installed.insert(it.key(), RemoteFileEntry(it.value(), QFileInfo(installDir + it.key()).lastModified()));
    return installed;
}
