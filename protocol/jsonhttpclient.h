#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

// One JSON exchange with the update service: POST, wait while the window stays live, read the
// encrypted reply. Made afresh for every query, so no connection or cookie outlives it.
class JsonHttpClient
{
public:
    // Bounds on one exchange; reaching any of them aborts the reply, so the caller sees an error.
    struct Limits
    {
        int maxRedirects = 10;
        int stallTimeoutMs = 30000; // no byte sent or received for this long
        qint64 maxBodyBytes = 16 * 1024 * 1024;
    };

    JsonHttpClient();
    explicit JsonHttpClient(const Limits &limits);
    ~JsonHttpClient();
    JsonHttpClient(const JsonHttpClient &) = delete;
    JsonHttpClient &operator=(const JsonHttpClient &) = delete;

    QNetworkReply *postJson(QString url, QJsonObject body);
    QJsonObject readJsonReply(QNetworkReply *reply, QString keyText);

private:
    QNetworkReply *postAndWait(const QString &url, const QByteArray &body, bool mayRedirect);

    QNetworkAccessManager *manager;
    const Limits limits;
};
