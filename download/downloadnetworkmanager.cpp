#include "download/downloadnetworkmanager.h"

#include <QAuthenticator>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>

#include "protocol/upgradereply.h"

namespace {

constexpr qint64 readBufferBytes = 1024 * 1024;

} // namespace

QString DownloadNetworkManager::bodyProblem(const QNetworkReply *reply)
{
    // Anything but a 2xx answer is a page about the file, never the file itself.
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && (status.toInt() < 200 || status.toInt() > 299)) {
        return tr("The server answered %1 %2 instead of sending the file")
            .arg(status.toInt())
            .arg(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
    }
    const QByteArray encoding = reply->rawHeader("Content-Encoding");
    if (!encoding.isEmpty() && encoding.compare("identity", Qt::CaseInsensitive) != 0)
        return tr("The server sent the file encoded as %1").arg(QString::fromLatin1(encoding));
    return QString();
}

DownloadNetworkManager::DownloadNetworkManager(QObject *parent)
    : CurlNetworkAccessManager(parent)
{
    // Named outright: Qt's process-wide proxy is never used for a server on this machine.
    setProxy(QNetworkProxy::applicationProxy());
    connect(this, &QNetworkAccessManager::finished, this,
            qOverload<QNetworkReply *>(&DownloadNetworkManager::replyFinished));
    connect(this, &QNetworkAccessManager::authenticationRequired, this,
            &DownloadNetworkManager::onAuthenticationRequest);
    stallTimer.setSingleShot(true);
    stallTimer.setInterval(attempts.limits().stallTimeoutMs);
    stallTimer.callOnTimeout(this, [this] {
        fail({QNetworkReply::TimeoutError, tr("No data arrived for %1 seconds").arg(stallTimer.interval() / 1000.0), true});
    });
    paceTimer.setInterval(attempts.limits().slowWindowMs);
    paceTimer.callOnTimeout(this, [this] { fail(attempts.checkPace()); });
    deadline.setSingleShot(true);
    deadline.callOnTimeout(this, [this] {
        const DownloadError late{QNetworkReply::TimeoutError,
                                 tr("The download took longer than %1 seconds").arg(deadline.interval() / 1000.0)};
        if (!retryTimer.isActive())
            return fail(late);
        retryTimer.stop(); // no attempt after the whole download's time
        error = late;
        finish();
    });
    retryTimer.setSingleShot(true);
    retryTimer.setTimerType(Qt::PreciseTimer); // a server's Retry-After is a lower bound
    retryTimer.callOnTimeout(this, &DownloadNetworkManager::sendRequest);
}

DownloadNetworkManager::~DownloadNetworkManager()
{
    // A reply still running has nobody left to take its body; it goes with us as our child.
    if (currentReply) {
        currentReply->disconnect(this);
        disconnect(this, &QNetworkAccessManager::finished, this, nullptr);
        currentReply->abort();
    }
}

bool DownloadNetworkManager::startDownload(const QString &url, const QString &filePath, const ContentCheck &check,
                                           int handle)
{
    error = {QNetworkReply::UnknownNetworkError, QString()}; // read as failed until the reply finishes
    this->url = QUrl(url, QUrl::TolerantMode);
    this->url.setUserInfo(QString()); // credentials in the URL would be offered to the server
    if (!isDownloadableUrl(this->url)) {
        error = {QNetworkReply::ProtocolUnknownError, tr("%1 is not an http or https address").arg(url)};
        // Ends as every download does, so a caller waiting for the end is not left waiting.
        QMetaObject::invokeMethod(this, &DownloadNetworkManager::finish, Qt::QueuedConnection);
        return false;
    }
    file.reset(filePath, handle, check);
    attempts.begin();
    retryTimer.stop();
    deadline.stop();
    if (check.isActive())
        deadline.start(attempts.deadlineMs(check.listedSize()));
    sendRequest();
    return true;
}

void DownloadNetworkManager::sendRequest()
{
    error = {QNetworkReply::UnknownNetworkError, QString()};
    responseOffset = file.size();

    QNetworkRequest request(this->url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/zip"));
    // Replaces the "gzip, deflate" the client would offer: the length the server announces is then
    // the length of the file's own bytes, so a body cut short is always noticed.
    request.setRawHeader("Accept-Encoding", "identity");
    attempts.startAttempt(&request, file.size(), file.listedSize());
    currentReply = get(request);
    // Without a bound the client reads ahead of the disk and holds whatever it has not written yet.
    currentReply->setReadBufferSize(readBufferBytes);
    connect(currentReply, &QNetworkReply::downloadProgress, this, [this, reply = currentReply](qint64 received, qint64 total) {
        // An error page's bytes are not the file's: the window keeps showing the file as it was.
        if (!bodyProblem(reply).isEmpty())
            return;
        emit downloadProgress(responseOffset + received, total < 0 ? total : responseOffset + total);
    });
    connect(currentReply, &QNetworkReply::readyRead, this, &DownloadNetworkManager::readyRead);
    connect(currentReply, &QNetworkReply::metaDataChanged, &stallTimer,
            qOverload<>(&QTimer::start));
    connect(currentReply, &QNetworkReply::metaDataChanged, this, [this, reply = currentReply] {
        takeHeaders(reply);
        // A length the disk cannot take is refused before the first byte is written.
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (error.own || !length.isValid() || !bodyProblem(reply).isEmpty())
            return;
        const DownloadError room = file.roomFor(length.toLongLong(), attempts.limits().minFreeDiskBytes);
        fail(room);
        if (!room.failed() && !deadline.isActive())
            deadline.start(attempts.deadlineMs(length.toLongLong()));
    });
    stallTimer.start();
    paceTimer.start();
}

void DownloadNetworkManager::takeHeaders(QNetworkReply *reply)
{
    const DownloadAttempts::Answer answer = attempts.answered(reply, responseOffset, file.listedSize());
    if (answer == DownloadAttempts::Answer::Continue)
        return;
    responseOffset = 0;
    const DownloadError cleared = file.startOver();
    fail(cleared);
    if (answer == DownloadAttempts::Answer::OtherPart)
        fail({QNetworkReply::UnknownContentError, tr("The server sent another part of the file"), true});
}

int DownloadNetworkManager::errorCode() const
{
    return error.code;
}

QString DownloadNetworkManager::errorString() const
{
    return error.text;
}

void DownloadNetworkManager::cancelDownload()
{
    const DownloadError cancelled{QNetworkReply::OperationCanceledError, tr("The download was cancelled")};
    if (retryTimer.isActive()) { // between attempts: nothing in flight to abort
        retryTimer.stop();
        error = cancelled;
        finish();
        return;
    }
    fail(cancelled);
}

void DownloadNetworkManager::setLimits(const Limits &limits)
{
    attempts.setLimits(limits);
    stallTimer.setInterval(limits.stallTimeoutMs);
    paceTimer.setInterval(limits.slowWindowMs);
}

void DownloadNetworkManager::fail(const DownloadError &found)
{
    if (!found.failed() || !currentReply || error.own)
        return;
    error = found;
    error.own = true;
    currentReply->abort(); // finishes the reply at once unless it has finished already
}

void DownloadNetworkManager::readyRead()
{
    QNetworkReply *reply = currentReply;
    if (!reply || error.own)
        return;
    stallTimer.start();
    const QByteArray data = reply->readAll();
    attempts.received(data.size());
    if (bodyProblem(reply).isEmpty())
        fail(file.append(data, attempts.limits().minFreeDiskBytes));
}

// How the attempt that just ended went, when nothing of ours failed it first.
DownloadError DownloadNetworkManager::outcomeOf(QNetworkReply *reply)
{
    const bool transient = RetryPolicy::isTransient(reply);
    if (reply->error() != QNetworkReply::NoError)
        return {reply->error(), reply->errorString(), transient};
    const QString problem = bodyProblem(reply);
    if (!problem.isEmpty())
        return {QNetworkReply::UnknownContentError, problem, transient};
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    // The client sometimes takes a closed connection for the end of the body.
    if (length.isValid() && file.size() - responseOffset < length.toLongLong())
        return {QNetworkReply::RemoteHostClosedError,
                tr("The connection closed after %1 of %2 bytes").arg(file.size() - responseOffset).arg(length.toLongLong()),
                true};
    return file.checkComplete();
}

void DownloadNetworkManager::replyFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    if (reply != currentReply)
        return;
    stallTimer.stop();
    paceTimer.stop();
    if (!error.own)
        error = outcomeOf(reply);
    const int waitMs = attempts.retryWaitMs(reply, file.size(), error);
    currentReply = nullptr;
    if (waitMs >= 0) {
        emit retrying(waitMs, attempts.attempt() + 1, attempts.limits().retry.maxAttempts, error.text);
        retryTimer.start(waitMs);
        return;
    }
    finish();
}

void DownloadNetworkManager::finish()
{
    deadline.stop();
    // No reply is left to fail by now, so the error is recorded here.
    const DownloadError closed = file.close();
    if (!error.failed())
        error = closed;
    emit replyFinished();
}

void DownloadNetworkManager::onAuthenticationRequest(QNetworkReply *reply, QAuthenticator *authenticator)
{
    // Credentials are never given: a server that asks for them fails the download.
    Q_UNUSED(reply);
    Q_UNUSED(authenticator);
}
