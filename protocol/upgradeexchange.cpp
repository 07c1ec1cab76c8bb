#include "protocol/upgradeexchange.h"

#include <QJsonDocument>
#include <QNetworkReply>

#include "protocol/payloadcrypto.h"
#include "updaterconfig.h"

namespace {
constexpr int requestKeyLength = 10;
}

UpgradeExchange::UpgradeExchange(const JsonHttpClient::Limits &limits)
    : limits(limits)
{
}

bool UpgradeExchange::run(const QString &url, const QString &token, const std::string &publicKey,
                          QJsonObject *answer)
{
    const QByteArray inner = QJsonDocument(QJsonObject{{"token", token}, {"system_type", "x86"}}).toJson();
    const std::string requestKey = makeRequestKey(requestKeyLength);
    const std::string sealedKey = encryptRsaOaepHex(publicKey, rsaEntropyText, requestKey);
    if (sealedKey.empty()) {
        error = tr("the built-in public key does not load");
        return false;
    }
    const QJsonObject request{
        {"key", QString::fromStdString(sealedKey)},
        {"value", QString::fromStdString(encryptAesCfbHex(requestKey, requestIvText, inner.toStdString()))}};

    JsonHttpClient client(limits);
    QNetworkReply *reply = client.postJson(url, request);
    if (reply->error() != QNetworkReply::NoError) {
        error = reply->errorString();
        reply->deleteLater();
        return false;
    }
    *answer = client.readJsonReply(reply, QString::fromStdString(requestKey));
    return true;
}

QString upgradeEndpoint(const ConfigFile &config)
{
    return config.updateUrl.isEmpty() ? QStringLiteral("http://" UPDATER_DEFAULT_HOST ":8094/api/upgrade")
                                      : config.updateUrl;
}
