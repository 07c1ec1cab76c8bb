#include "protocol/jsonhttpclient.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include "protocol/payloadcrypto.h"

namespace {
int httpStatus(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

constexpr int redirectStatus = 302;
}

JsonHttpClient::JsonHttpClient()
    : JsonHttpClient(Limits())
{
}

JsonHttpClient::JsonHttpClient(const Limits &limits)
    : manager(new QNetworkAccessManager)
    , limits(limits)
{
}

JsonHttpClient::~JsonHttpClient()
{
    delete manager;
}

QNetworkReply *JsonHttpClient::postJson(QString url, QJsonObject body)
{
    const QByteArray bytes = QJsonDocument(body).toJson();
    for (int redirects = 0;; ++redirects) {
        QNetworkReply *reply = postAndWait(url, bytes, redirects < limits.maxRedirects);
        if (reply->error() != QNetworkReply::NoError || httpStatus(reply) != redirectStatus)
            return reply;
        reply->deleteLater();
        // Taken as a complete URL: a relative Location fails on the next request.
        url = QString::fromUtf8(reply->rawHeader("Location"));
    }
}

QNetworkReply *JsonHttpClient::postAndWait(const QString &url, const QByteArray &body, bool mayRedirect)
{
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    QNetworkReply *reply = manager->post(request, body);

    // The reply holds at most one byte past the limit, so a body too long stops flowing there and
    // is refused without ever being read whole.
    const qint64 maxBody = limits.maxBodyBytes;
    reply->setReadBufferSize(maxBody + 1);

    QTimer stall;
    stall.setSingleShot(true);
    stall.setInterval(limits.stallTimeoutMs);
    QObject::connect(&stall, &QTimer::timeout, reply, &QNetworkReply::abort);
    QObject::connect(reply, &QNetworkReply::uploadProgress, &stall, [&stall] { stall.start(); });
    QObject::connect(reply, &QNetworkReply::metaDataChanged, &stall, [reply, &stall, mayRedirect, maxBody] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if ((!mayRedirect && httpStatus(reply) == redirectStatus)
            || (length.isValid() && length.toLongLong() > maxBody))
            reply->abort();
        else
            stall.start();
    });
    QObject::connect(reply, &QNetworkReply::readyRead, &stall, [reply, &stall, maxBody] {
        if (reply->bytesAvailable() > maxBody)
            reply->abort();
        else
            stall.start();
    });

    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    stall.start();
    if (!reply->isFinished())
        loop.exec();
    return reply;
}

QJsonObject JsonHttpClient::readJsonReply(QNetworkReply *reply, QString keyText)
{
    QJsonObject result;
    const QByteArray body = reply->readAll();
    QString text;
    if (!keyText.isEmpty()) {
        const std::string plain =
            decryptAesCfbHex(keyText.toUtf8().toStdString(), requestIvText, body.toStdString());
        text = QString::fromLocal8Bit(plain.c_str()); // up to the first NUL byte
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (error.error == QJsonParseError::NoError && document.isObject())
        result = document.object();
    reply->deleteLater();
    return result;
}
