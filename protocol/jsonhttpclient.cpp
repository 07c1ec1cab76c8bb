#include "protocol/jsonhttpclient.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

JsonHttpClient::JsonHttpClient()
    : manager(new QNetworkAccessManager)
{
}

JsonHttpClient::~JsonHttpClient()
{
    delete manager;
}

QNetworkReply *JsonHttpClient::postJson(QString url, QJsonObject body)
{
    Q_UNUSED(url);
    Q_UNUSED(body);
    return nullptr;
}

QJsonObject JsonHttpClient::readJsonReply(QNetworkReply *reply, QString keyText)
{
    Q_UNUSED(keyText);
    if (reply)
        reply->deleteLater();
    return {};
}
