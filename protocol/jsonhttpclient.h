#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QJsonObject>
#include <QString>
#include <functional>

#include "protocol/payloadcrypto.h"
#include "protocol/retrypolicy.h"

class QEventLoop;
class QNetworkAccessManager;
class QNetworkReply;

// One JSON exchange with the update service: POST, wait while the window stays live, read the
// encrypted reply. Made afresh for every query, so no connection or cookie outlives it.
class JsonHttpClient
{
    Q_DECLARE_TR_FUNCTIONS(JsonHttpClient)

public:
    // Bounds on one exchange; reaching any of them aborts the reply, so the caller sees an error.
    struct Limits
    {
        int maxRedirects = 10;
        int stallTimeoutMs = 30000; // no byte sent or received for this long
        int deadlineMs = 120000;    // the whole exchange, redirects included: a trickle cannot stretch it
        qint64 maxBodyBytes = maxReplyBodyBytes; // as received: the reply is asked for unencoded
        // The connection lost, a stall or a 5xx is tried again while the deadline leaves time for
        // the wait: the query changes nothing on the service.
        RetryPolicy retry;
    };
    // Told before each wait for another attempt.
    using RetryNotice = std::function<void(int waitMs, int nextAttempt, int maxAttempts, const QString &reason)>;

    JsonHttpClient();
    explicit JsonHttpClient(const Limits &limits);
    ~JsonHttpClient();
    JsonHttpClient(const JsonHttpClient &) = delete;
    JsonHttpClient &operator=(const JsonHttpClient &) = delete;

    void setRetryNotice(RetryNotice notice) { retryNotice = std::move(notice); }
    QNetworkReply *postJson(QString url, QJsonObject body);
    QJsonObject readJsonReply(QNetworkReply *reply, QString keyText);
    // Also gives the whole decrypted text, for checks on its exact bytes: the object is read only
    // up to a NUL byte, so a check must see what follows it too.
    QJsonObject readJsonReply(QNetworkReply *reply, const QString &keyText, QByteArray *plainText);
    // Why the reply of the last postJson failed; empty when it did not.
    QString errorString() const { return error; }
    // Ends the exchange under way, or its wait for another attempt, as failed; none follows.
    void cancel();

private:
    QNetworkReply *postAndWait(const QString &url, const QByteArray &body, bool mayRedirect, qint64 timeLeftMs);
    void abortWith(QNetworkReply *reply, const QString &reason, bool mayPass = false);
    bool mayRetry(const QNetworkReply *reply, int attempt, qint64 timeLeftMs);

    QNetworkAccessManager *manager;
    const Limits limits;
    QString error;
    bool abortMayPass = false;
    bool cancelled = false;
    QNetworkReply *current = nullptr; // the reply waited for
    QEventLoop *waiting = nullptr;    // the wait before another attempt
    RetryNotice retryNotice;
};
