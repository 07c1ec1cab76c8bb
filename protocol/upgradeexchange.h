#pragma once

#include <QCoreApplication>
#include <QJsonObject>
#include <QString>
#include <string>

#include "protocol/jsonhttpclient.h"
#include "protocol/payloadcrypto.h"

// One upgrade query on the wire: the request sealed under a fresh request key, the exchange, and
// the reply opened with the same key.
class UpgradeExchange
{
    Q_DECLARE_TR_FUNCTIONS(UpgradeExchange)

public:
    explicit UpgradeExchange(const JsonHttpClient::Limits &limits = JsonHttpClient::Limits());

    // False when nothing could be asked or no reply came; errorString() then says why. A reply
    // that does not decrypt to a JSON object gives an empty answer.
    void setRetryNotice(JsonHttpClient::RetryNotice notice) { retryNotice = std::move(notice); }
    bool run(const QString &url, const QString &token, const std::string &publicKey, QJsonObject *answer);
    // Any other request of the same exchange: inner sealed as the query's is.
    bool send(const QString &url, const QJsonObject &inner, const std::string &publicKey, QJsonObject *answer);
    // Whether the last reply may be trusted to come whole from the holder of the request key: a
    // reply with a wrong MAC never, one without a MAC only when none is required. On false
    // errorString() says why.
    bool authentic(bool macRequired);
    QString errorString() const { return error; }
    // Ends a run under way as failed, from any of the event loops it waits in.
    void cancel();

private:
    JsonHttpClient::Limits limits;
    JsonHttpClient::RetryNotice retryNotice;
    QString error;
    ReplyMac replyMac = ReplyMac::Absent;
    JsonHttpClient *client = nullptr; // while run() waits
    bool cancelled = false;
};
