#include "protocol/upgradeexchange.h"

#include <QJsonDocument>
#include <QNetworkReply>

#include "protocol/payloadcrypto.h"

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
    return send(url, QJsonObject{{"token", token}, {"system_type", "x86"}}, publicKey, answer);
}

bool UpgradeExchange::send(const QString &url, const QJsonObject &innerObject, const std::string &publicKey,
                           QJsonObject *answer)
{
    replyMac = ReplyMac::Absent;
    const QByteArray inner = QJsonDocument(innerObject).toJson();
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
    client.setRetryNotice(retryNotice);
    this->client = &client;
    if (cancelled)
        client.cancel();
    QNetworkReply *reply = client.postJson(url, request);
    this->client = nullptr;
    if (reply->error() != QNetworkReply::NoError) {
        error = client.errorString();
        reply->deleteLater();
        return false;
    }
    QByteArray plainText;
    *answer = client.readJsonReply(reply, QString::fromStdString(requestKey), &plainText);
    replyMac = checkReplyMac(requestKey, plainText.toStdString());
    return true;
}

void UpgradeExchange::cancel()
{
    cancelled = true;
    if (client)
        client->cancel();
}

bool UpgradeExchange::authentic(bool macRequired)
{
    if (replyMac == ReplyMac::Invalid)
        error = tr("the reply of the update service was altered on the way");
    else if (replyMac == ReplyMac::Absent && macRequired)
        error = tr("the reply of the update service is not authenticated");
    else
        return true;
    return false;
}
