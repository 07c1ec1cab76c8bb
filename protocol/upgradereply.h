#pragma once

#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QUrl>

#include "protocol/remotefileentry.h"

// What a decrypted upgrade reply says, before anything of the window is touched.
struct UpgradeReply
{
    bool rejected = false; // "error_code" 500: the service refused the token
    bool hasDownloadUrl = false;
    QString downloadUrl;
    bool hasFiles = false;
    // The offered files by path; of two with the same path the later wins. Unsafe paths stay:
    // the update run refuses them and counts them as failed.
    QMap<QString, RemoteFileEntry> offered;
    // The signed release listing and its signature; empty when not sent as strings. A listing signed
    // by several keys has each of their signatures here, comma-separated.
    QString release;
    QString releaseSignature;
};

UpgradeReply readUpgradeReply(const QJsonObject &answer);

// Whether files may be downloaded from url: only over http or https from a named host, never from
// a local or shared folder or any other kind of address.
bool isDownloadableUrl(const QUrl &url);
bool isDownloadableUrl(const QString &url);

// The offered files that the installation lacks, holds in another version, or holds in an older copy.
QMap<QString, VersionEntry> outOfDateFiles(const QMap<QString, RemoteFileEntry> &offered,
                                           const QMap<QString, RemoteFileEntry> &installed);
