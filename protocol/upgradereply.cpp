#include "protocol/upgradereply.h"

#include <QJsonArray>
#include <QStringList>
#include <QUrl>

namespace {
constexpr int rejectedRequest = 500;
}

UpgradeReply readUpgradeReply(const QJsonObject &answer)
{
    UpgradeReply reply;
    if (answer.contains("error_code") && answer.value("error_code").toInt() == rejectedRequest) {
        reply.rejected = true;
        return reply;
    }
    reply.hasDownloadUrl = answer.contains("download_url");
    reply.downloadUrl = answer.value("download_url").toString();
    reply.release = answer.value("release").toString();
    // "release_signature" alone is what services before several keys send, and the first of
    // "release_signatures" is what they still send there.
    QStringList signatures{answer.value("release_signature").toString()};
    for (const QJsonValue &signature : answer.value("release_signatures").toArray()) {
        if (signature.isString() && !signatures.contains(signature.toString()))
            signatures << signature.toString();
    }
    signatures.removeAll(QString());
    reply.releaseSignature = signatures.join(',');
    reply.hasFiles = answer.contains("files");
    QPair<QString, QDateTime> lastTime;
    for (const QJsonValue &element : answer.value("files").toArray()) {
        const QJsonObject file = element.toObject();
        if (!file.contains("file_name"))
            continue;
        const VersionEntry entry(file.value("file_version").toString(), file.value("file_path").toString());
        reply.offered.insert(entry.path,
                             RemoteFileEntry(entry, readModifiedTime(file.value("modified_time").toString(), &lastTime)));
    }
    return reply;
}

bool isDownloadableUrl(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == "http" || scheme == "https") && !url.host().isEmpty();
}

bool isDownloadableUrl(const QString &url)
{
    return isDownloadableUrl(QUrl(url));
}

QMap<QString, VersionEntry> outOfDateFiles(const QMap<QString, RemoteFileEntry> &offered,
                                           const QMap<QString, RemoteFileEntry> &installed)
{
    QMap<QString, VersionEntry> outOfDate;
    for (auto it = offered.cbegin(); it != offered.cend(); ++it) {
        const auto current = installed.constFind(it.key());
        if (current == installed.cend() || current->needsUpdateFrom(it.value()))
            outOfDate.insert(it.key(), it->entry);
    }
    return outOfDate;
}
