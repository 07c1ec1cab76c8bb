#include "protocol/remotefileentry.h"

RemoteFileEntry::RemoteFileEntry(const VersionEntry &entry, const QDateTime &modifiedTime)
    : entry(entry)
    , modifiedTime(modifiedTime)
{
}

bool RemoteFileEntry::needsUpdateFrom(const RemoteFileEntry &offered) const
{
    Q_UNUSED(offered);
    return true;
}

QMap<QString, RemoteFileEntry> readInstalledState(const QString &manifestPath, const QString &installDir)
{
    Q_UNUSED(manifestPath);
    Q_UNUSED(installDir);
    return {};
}
