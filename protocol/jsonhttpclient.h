#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QJsonObject>
#include <QString>

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
        qint64 maxBodyBytes = 64 * 1024 * 1024; // as received: the reply is asked for unencoded
    };

    JsonHttpClient();
    explicit JsonHttpClient(const Limits &limits);
    ~JsonHttpClient();
    JsonHttpClient(const JsonHttpClient &) = delete;
    JsonHttpClient &operator=(const JsonHttpClient &) = delete;

    QNetworkReply *postJson(QString url, QJsonObject body);
    QJsonObject readJsonReply(QNetworkReply *reply, QString keyText);
    // Why the reply of the last postJson failed; empty when it did not.
    QString errorString() const { return error; }

private:
    QNetworkReply *postAndWait(const QString &url, const QByteArray &body, bool mayRedirect, qint64 timeLeftMs);
    void abortWith(QNetworkReply *reply, const QString &reason);

    QNetworkAccessManager *manager;
    const Limits limits;
    QString error;
};
