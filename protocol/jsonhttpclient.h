#pragma once

#include <QJsonObject>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

// One JSON exchange with the update service: POST, wait while the window stays live, read the
// encrypted reply. Made afresh for every query, so no connection or cookie outlives it.
class JsonHttpClient
{
public:
    JsonHttpClient();
    ~JsonHttpClient();
    JsonHttpClient(const JsonHttpClient &) = delete;
    JsonHttpClient &operator=(const JsonHttpClient &) = delete;

    QNetworkReply *postJson(QString url, QJsonObject body);
    QJsonObject readJsonReply(QNetworkReply *reply, QString keyText);

private:
    QNetworkAccessManager *manager;
};
