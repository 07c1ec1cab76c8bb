#include "protocol/jsonhttpclient.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTextCodec>
#include <QTimer>
#include <QUrl>

#include "protocol/curlnetworkaccessmanager.h"
#include "protocol/payloadcrypto.h"

namespace {
int httpStatus(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

constexpr int redirectStatus = 302;

// UTF-8 whenever the bytes are valid UTF-8, as our own service sends them; otherwise the local
// 8-bit code page, in which a service may send its own (on Windows the ANSI code page). Up to the
// first NUL byte, and as UTF-8 for the parser. Checked a piece at a time: a reply of thousands of
// files would otherwise be held twice more, once as a QString.
QByteArray jsonText(const QByteArray &plain)
{
    QByteArray text = plain.left(int(qstrnlen(plain.constData(), size_t(plain.size()))));
    QTextCodec::ConverterState state;
    const QTextCodec *utf8 = QTextCodec::codecForMib(106);
    constexpr int piece = 64 * 1024;
    for (int at = 0; at < text.size() && state.invalidChars == 0; at += piece)
        utf8->toUnicode(text.constData() + at, qMin(piece, text.size() - at), &state);
    if (state.invalidChars != 0)
        return QString::fromLocal8Bit(text).toUtf8();
    text.chop(state.remainingChars); // a sequence cut short at the end is dropped, as the codec drops it
    return text;
}
}

JsonHttpClient::JsonHttpClient()
    : JsonHttpClient(Limits())
{
}

JsonHttpClient::JsonHttpClient(const Limits &limits)
    : manager(new CurlNetworkAccessManager(nullptr, true))
    , limits(limits)
{
    // Named outright: Qt's process-wide proxy is never used for a service on this machine.
    manager->setProxy(QNetworkProxy::applicationProxy());
}

JsonHttpClient::~JsonHttpClient()
{
    delete manager;
}

QNetworkReply *JsonHttpClient::postJson(QString url, QJsonObject body)
{
    const QByteArray bytes = QJsonDocument(body).toJson();
    QElapsedTimer clock;
    clock.start();
    for (int redirects = 0, attempt = 1;; ++redirects) {
        error.clear();
        abortMayPass = false;
        QNetworkReply *reply =
            postAndWait(url, bytes, redirects < limits.maxRedirects, limits.deadlineMs - clock.elapsed());
        if (reply->error() != QNetworkReply::NoError) {
            if (error.isEmpty())
                error = reply->errorString();
            if (!mayRetry(reply, attempt, limits.deadlineMs - clock.elapsed()))
                return reply;
            reply->deleteLater();
            ++attempt;
            --redirects; // the same request again
            continue;
        }
        if (httpStatus(reply) != redirectStatus)
            return reply;
        reply->deleteLater();
        // Taken as a complete URL: a relative Location fails on the next request.
        url = QString::fromUtf8(reply->rawHeader("Location"));
    }
}

// Waits out the backoff, the window staying live, when the failure may pass and another attempt
// still fits within the deadline.
bool JsonHttpClient::mayRetry(const QNetworkReply *reply, int attempt, qint64 timeLeftMs)
{
    const bool mayPass = abortMayPass || RetryPolicy::isTransient(reply);
    const int waitMs = limits.retry.waitMs(reply, attempt);
    if (!mayPass || attempt >= limits.retry.maxAttempts || waitMs >= timeLeftMs)
        return false;
    if (retryNotice)
        retryNotice(waitMs, attempt + 1, limits.retry.maxAttempts, error);
    QEventLoop loop;
    QTimer::singleShot(waitMs, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    if (!cancelled) { // the notice may have cancelled it
        waiting = &loop;
        loop.exec();
        waiting = nullptr;
    }
    return !cancelled;
}

void JsonHttpClient::cancel()
{
    cancelled = true;
    if (current)
        abortWith(current, tr("The query was cancelled"));
    if (waiting) {
        error = tr("The query was cancelled");
        waiting->quit();
    }
}

void JsonHttpClient::abortWith(QNetworkReply *reply, const QString &reason, bool mayPass)
{
    error = reason;
    abortMayPass = mayPass;
    reply->abort();
}

QNetworkReply *JsonHttpClient::postAndWait(const QString &url, const QByteArray &body, bool mayRedirect,
                                           qint64 timeLeftMs)
{
    const QUrl target(url, QUrl::TolerantMode);
    QNetworkRequest request(target);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/json"));
    // A reply is never unpacked: a few MiB on the wire could become GiB in memory.
    request.setRawHeader("Accept-Encoding", "identity");
    QNetworkReply *reply = manager->post(request, body);

    // The reply holds at most one byte past the limit, so a body too long stops flowing there and
    // is refused without ever being read whole.
    const qint64 maxBody = limits.maxBodyBytes;
    reply->setReadBufferSize(maxBody + 1);
    const QString tooLong = tr("The reply is longer than %1 bytes").arg(maxBody);

    QTimer stall;
    stall.setSingleShot(true);
    stall.setInterval(limits.stallTimeoutMs);
    QObject::connect(&stall, &QTimer::timeout, reply, [this, reply] {
        abortWith(reply, tr("Nothing arrived for %1 seconds").arg(limits.stallTimeoutMs / 1000.0), true);
    });
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.setInterval(int(qMax<qint64>(0, timeLeftMs)));
    QObject::connect(&deadline, &QTimer::timeout, reply, [this, reply] {
        abortWith(reply, tr("No complete reply within %1 seconds").arg(limits.deadlineMs / 1000.0));
    });
    QObject::connect(reply, &QNetworkReply::uploadProgress, &stall, [&stall] { stall.start(); });
    QObject::connect(reply, &QNetworkReply::metaDataChanged, &stall, [&, reply] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        const QByteArray encoding = reply->rawHeader("Content-Encoding");
        if (!mayRedirect && httpStatus(reply) == redirectStatus)
            abortWith(reply, tr("More than %1 redirects").arg(limits.maxRedirects));
        else if (length.isValid() && length.toLongLong() > maxBody)
            abortWith(reply, tooLong);
        else if (!encoding.isEmpty() && encoding.compare("identity", Qt::CaseInsensitive) != 0)
            abortWith(reply, tr("The reply came encoded as %1 although it was asked for unencoded")
                                 .arg(QString::fromLatin1(encoding)));
        else
            stall.start();
    });
    QObject::connect(reply, &QNetworkReply::readyRead, &stall, [&, reply] {
        if (reply->bytesAvailable() > maxBody)
            abortWith(reply, tooLong);
        else
            stall.start();
    });

    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    stall.start();
    deadline.start();
    current = reply;
    if (cancelled)
        abortWith(reply, tr("The query was cancelled"));
    if (!reply->isFinished())
        loop.exec();
    current = nullptr;
    return reply;
}

QJsonObject JsonHttpClient::readJsonReply(QNetworkReply *reply, QString keyText)
{
    QByteArray plainText;
    return readJsonReply(reply, keyText, &plainText);
}

QJsonObject JsonHttpClient::readJsonReply(QNetworkReply *reply, const QString &keyText, QByteArray *plainText)
{
    QJsonObject result;
    // In one piece of its known size: reading all of it piece by piece grows a copy a piece at a time.
    QByteArray body = reply->read(reply->bytesAvailable());
    plainText->clear();
    QByteArray text;
    if (!keyText.isEmpty()) {
        *plainText = QByteArray::fromStdString(decryptAesCfbHex(keyText.toUtf8().toStdString(), requestIvText,
                                                                std::string_view(body.constData(), size_t(body.size()))));
        body.clear();
        text = jsonText(*plainText);
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error == QJsonParseError::NoError && document.isObject())
        result = document.object();
    reply->deleteLater();
    return result;
}
