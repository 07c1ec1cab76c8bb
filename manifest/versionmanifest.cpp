#include "manifest/versionmanifest.h"

VersionManifest readVersionManifest(const QString &path)
{
    Q_UNUSED(path);
    return {};
}

QString versionManifestToXml(VersionManifest manifest)
{
    Q_UNUSED(manifest);
    return {};
}

void writeTextFile(const QString &text, const QString &path)
{
    Q_UNUSED(text);
    Q_UNUSED(path);
}
