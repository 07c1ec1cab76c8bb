#include "app/updatewindow.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QNetworkReply>

#include "app/installation.h"
#include "protocol/configfile.h"
#include "protocol/jsonhttpclient.h"
#include "protocol/payloadcrypto.h"
#include "protocol/remotefileentry.h"

namespace {
constexpr int requestKeyLength = 10;
constexpr int rejectedRequest = 500;
constexpr const char *modifiedTimeFormat = "yyyy-MM-ddThh:mm:ss";

QString upgradeEndpoint()
{
    const QString configured = readUpdateUrl(updaterDirectory() + "/config.xml");
    return configured.isEmpty() ? QStringLiteral("http://" UPDATER_DEFAULT_HOST ":8094/api/upgrade") : configured;
}
}

bool updateWindow::queryUpgrade()
{
    const QString url = upgradeEndpoint();

    const QByteArray inner = QJsonDocument(QJsonObject{{"token", token}, {"system_type", "x86"}}).toJson();
    const std::string requestKey = makeRequestKey(requestKeyLength);
    const std::string sealedKey = encryptRsaOaepHex(publicKey, rsaEntropyText, requestKey);
    if (sealedKey.empty())
        return false; // the public key does not load: nothing can be asked
    const QJsonObject request{
        {"key", QString::fromStdString(sealedKey)},
        {"value", QString::fromStdString(encryptAesCfbHex(requestKey, requestIvText, inner.toStdString()))}};

    JsonHttpClient client;
    QNetworkReply *reply = client.postJson(url, request);
    if (reply->error() != QNetworkReply::NoError) {
        reply->deleteLater();
        return false;
    }
    const QJsonObject answer = client.readJsonReply(reply, QString::fromStdString(requestKey));

    if (answer.contains("error_code") && answer.value("error_code").toInt() == rejectedRequest) {
        QMessageBox::about(this, QStringLiteral("ERROR"), QStringLiteral("Error Key!"));
        return false;
    }
    if (answer.contains("download_url"))
        downloadUrl = answer.value("download_url").toString();
    if (!answer.contains("files"))
        return false;

    // Unsafe paths stay in the lists: the update run refuses them and counts them as failed.
    QMap<QString, RemoteFileEntry> offered;
    for (const QJsonValue &element : answer.value("files").toArray()) {
        const QJsonObject file = element.toObject();
        if (!file.contains("file_name"))
            continue;
        const VersionEntry entry(file.value("file_version").toString(), file.value("file_path").toString());
        offered.insert(entry.path, RemoteFileEntry(entry, QDateTime::fromString(
                                                              file.value("modified_time").toString(),
                                                              modifiedTimeFormat)));
        serverFiles.insert(entry.path, entry);
    }

    const QString installDir = installationDirectory();
    const QMap<QString, RemoteFileEntry> installed = readInstalledState(installDir + "version.xml", installDir);
    filesToUpdate.clear();
    for (auto it = offered.cbegin(); it != offered.cend(); ++it) {
        const auto current = installed.constFind(it.key());
        if (current == installed.cend() || current->needsUpdateFrom(it.value()))
            filesToUpdate.insert(it.key(), it->entry);
    }
    return !filesToUpdate.isEmpty();
}
