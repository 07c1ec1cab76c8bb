#pragma once

#include <QString>

#include "manifest/versionentry.h"

VersionManifest readVersionManifest(const QString &path);
QString versionManifestToXml(VersionManifest manifest);
void writeTextFile(const QString &text, const QString &path);
