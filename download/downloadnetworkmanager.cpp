#include "download/downloadnetworkmanager.h"

#include <QAuthenticator>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>

#include <limits>

#ifdef Q_OS_WIN
#include <QStorageInfo>
#else
#include <sys/statvfs.h>
#endif

namespace {

constexpr qint64 readBufferBytes = 1024 * 1024;

// Bytes we may still write on the volume holding the folder; -1 when the system does not say.
// Asked for every chunk, so on POSIX it is one statvfs rather than QStorageInfo's mount table.
qint64 freeDiskBytes(const QString &folder)
{
#ifdef Q_OS_WIN
    const QStorageInfo volume(folder);
    return volume.isValid() ? volume.bytesAvailable() : -1;
#else
    struct statvfs volume;
    if (::statvfs(QFile::encodeName(folder).constData(), &volume) != 0)
        return -1;
    return qint64(volume.f_bavail) * qint64(volume.f_frsize);
#endif
}

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
    stallTimer.setInterval(limits.stallTimeoutMs);
    stallTimer.callOnTimeout(this, [this] {
        fail(QNetworkReply::TimeoutError,
             tr("No data arrived for %1 seconds").arg(stallTimer.interval() / 1000.0), true);
    });
    paceTimer.setInterval(limits.slowWindowMs);
    paceTimer.callOnTimeout(this, &DownloadNetworkManager::checkPace);
    deadline.setSingleShot(true);
    deadline.callOnTimeout(this, [this] {
        const QString text = tr("The download took longer than %1 seconds").arg(deadline.interval() / 1000.0);
        if (!retryTimer.isActive())
            return fail(QNetworkReply::TimeoutError, text);
        retryTimer.stop(); // no attempt after the whole download's time
        lastErrorCode = QNetworkReply::TimeoutError;
        lastErrorString = text;
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
    lastErrorCode = QNetworkReply::UnknownNetworkError; // read as failed until the reply finishes
    lastErrorString.clear();
    this->url = QUrl(url, QUrl::TolerantMode);
    this->url.setUserInfo(QString()); // credentials in the URL would be offered to the server
    if (!this->url.isValid() || (this->url.scheme() != "http" && this->url.scheme() != "https")) {
        lastErrorCode = QNetworkReply::ProtocolUnknownError;
        lastErrorString = tr("%1 is not an http or https address").arg(url);
        // Ends as every download does, so a caller waiting for the end is not left waiting.
        QMetaObject::invokeMethod(this, &DownloadNetworkManager::finish, Qt::QueuedConnection);
        return false;
    }
    this->filePath = filePath;
    fileHandle = handle;
    file.setFileName(filePath);
    bytesWritten = 0;
    writeBack.reset();
    contentCheck = check;
    firstCheck = check;
    validator.clear();
    attempt = 0;
    furthest = 0;
    retryClock.start();
    retryTimer.stop();
    deadline.stop();
    if (check.isActive())
        startDeadline(check.listedSize());
    sendRequest();
    return true;
}

void DownloadNetworkManager::sendRequest()
{
    ++attempt;
    failed = false;
    transient = false;
    lastErrorCode = QNetworkReply::UnknownNetworkError;
    lastErrorString.clear();
    bytesThisWindow = 0;
    responseOffset = bytesWritten;

    QNetworkRequest request(this->url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/zip"));
    // Replaces the "gzip, deflate" the client would offer: the length the server announces is then
    // the length of the file's own bytes, so a body cut short is always noticed.
    request.setRawHeader("Accept-Encoding", "identity");
    // Only the rest of the same file: If-Range makes a server whose file changed send it whole.
    if (bytesWritten > 0 && !validator.isEmpty()) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(bytesWritten) + "-");
        request.setRawHeader("If-Range", validator);
    }
    currentReply = get(request);
    // Without a bound the client reads ahead of the disk and holds whatever it has not written yet.
    currentReply->setReadBufferSize(readBufferBytes);
    connect(currentReply, &QNetworkReply::downloadProgress, this, [this](qint64 received, qint64 total) {
        emit downloadProgress(responseOffset + received, total < 0 ? total : responseOffset + total);
    });
    connect(currentReply, &QNetworkReply::readyRead, this, &DownloadNetworkManager::readyRead);
    connect(currentReply, &QNetworkReply::metaDataChanged, &stallTimer,
            qOverload<>(&QTimer::start));
    connect(currentReply, &QNetworkReply::metaDataChanged, this, [this, reply = currentReply] {
        takeHeaders(reply);
        // A length the disk cannot take is refused before the first byte is written.
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (!failed && length.isValid() && bodyProblem(reply).isEmpty() && roomFor(length.toLongLong())
            && !deadline.isActive())
            startDeadline(length.toLongLong());
    });
    stallTimer.start();
    paceTimer.start();
}

// What a resumed answer says about the bytes already here: the rest of them (206 from where they
// end, of the same file), or the whole file again (200), which starts it over.
void DownloadNetworkManager::takeHeaders(QNetworkReply *reply)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    QByteArray sent = reply->rawHeader("ETag");
    if (sent.isEmpty() || sent.startsWith("W/"))
        sent = reply->rawHeader("Last-Modified");
    if (status == 200 && responseOffset > 0)
        startOver();
    if (status == 206) {
        if (responseOffset == 0 || !isRestOfFile(reply) || sent != validator) {
            validator.clear(); // the next attempt asks for the whole file
            bytesWritten = 0;
            startOver();
            return fail(QNetworkReply::UnknownContentError, tr("The server sent another part of the file"), true);
        }
    }
    if (status == 200)
        validator = sent;
}

// The answer to "bytes=N-" must be all the rest, "bytes N-END/TOTAL" with END the file's last byte;
// anything else here would be taken for the whole file once its bytes end.
bool DownloadNetworkManager::isRestOfFile(const QNetworkReply *reply) const
{
    // At most 18 digits each: no sum or comparison below can leave 64 bits.
    static const QRegularExpression pattern("^bytes ([0-9]{1,18})-([0-9]{1,18})/([0-9]{1,18})$");
    const QRegularExpressionMatch range = pattern.match(QString::fromLatin1(reply->rawHeader("Content-Range")));
    if (!range.hasMatch())
        return false;
    const qint64 start = range.captured(1).toLongLong();
    const qint64 end = range.captured(2).toLongLong();
    const qint64 total = range.captured(3).toLongLong();
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    return start == responseOffset && end >= start && end == total - 1
        && (!length.isValid() || length.toLongLong() == end - start + 1)
        && (!firstCheck.isActive() || firstCheck.listedSize() == total);
}

void DownloadNetworkManager::startOver()
{
    bytesWritten = 0;
    responseOffset = 0;
    contentCheck = firstCheck;
    writeBack.reset();
    if (file.isOpen() && (!file.resize(0) || !file.seek(0)))
        failWrite();
}

int DownloadNetworkManager::errorCode() const
{
    return lastErrorCode;
}

QString DownloadNetworkManager::errorString() const
{
    return lastErrorString;
}

void DownloadNetworkManager::cancelDownload()
{
    if (retryTimer.isActive()) { // between attempts: nothing in flight to abort
        retryTimer.stop();
        lastErrorCode = QNetworkReply::OperationCanceledError;
        lastErrorString = tr("The download was cancelled");
        finish();
        return;
    }
    fail(QNetworkReply::OperationCanceledError, tr("The download was cancelled"));
}

void DownloadNetworkManager::setLimits(const Limits &limits)
{
    this->limits = limits;
    stallTimer.setInterval(limits.stallTimeoutMs);
    paceTimer.setInterval(limits.slowWindowMs);
}

qint64 DownloadNetworkManager::minBytesPerWindow() const
{
    return limits.minBytesPerSecond * limits.slowWindowMs / 1000;
}

void DownloadNetworkManager::checkPace()
{
    if (bytesThisWindow < minBytesPerWindow()) {
        fail(QNetworkReply::TimeoutError, tr("Less than %1 bytes arrived in %2 seconds")
                                              .arg(minBytesPerWindow())
                                              .arg(limits.slowWindowMs / 1000.0), true);
    }
    bytesThisWindow = 0;
}

void DownloadNetworkManager::startDeadline(qint64 size)
{
    const qint64 ms = limits.slowWindowMs + size * 1000 / qMax<qint64>(1, limits.minBytesPerSecond);
    deadline.start(int(qMin<qint64>(ms, std::numeric_limits<int>::max())));
}

bool DownloadNetworkManager::roomFor(qint64 bytes)
{
    const QString folder = QFileInfo(filePath).absolutePath();
    const qint64 free = freeDiskBytes(folder);
    if (free < 0 || free - bytes >= limits.minFreeDiskBytes)
        return true;
    const QLocale locale;
    fail(QNetworkReply::OperationCanceledError,
         tr("Stopped with %1 left on the disk holding %2: %3 more would leave less than %4 free")
             .arg(locale.formattedDataSize(free), QDir::toNativeSeparators(folder),
                  locale.formattedDataSize(bytes), locale.formattedDataSize(limits.minFreeDiskBytes)));
    return false;
}

void DownloadNetworkManager::fail(int code, const QString &text, bool mayPass)
{
    if (!currentReply || failed)
        return;
    failed = true;
    transient = mayPass;
    lastErrorCode = code;
    lastErrorString = text;
    currentReply->abort(); // finishes the reply at once unless it has finished already
}

void DownloadNetworkManager::failWrite()
{
    fail(QNetworkReply::OperationCanceledError, writeErrorString());
}

QString DownloadNetworkManager::writeErrorString() const
{
    return tr("Cannot write %1: %2").arg(QDir::toNativeSeparators(filePath), file.errorString());
}

bool DownloadNetworkManager::openFile()
{
    if (file.isOpen())
        return true;
    if (filePath.isEmpty())
        fail(QNetworkReply::OperationCanceledError, tr("No file was named to receive the download"));
    else if (fileHandle < 0 && !file.open(QIODevice::Append | QIODevice::Unbuffered))
        failWrite();
    // The caller's open file; a download begun again starts it over. A file already empty is not
    // truncated: on ext4 that alone makes its close write it out at once.
    else if (fileHandle >= 0
             && (!file.open(fileHandle, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::DontCloseHandle)
                 || (file.size() > 0 && !file.resize(0)) || !file.seek(0))) {
        failWrite();
        file.close();
    }
    return file.isOpen();
}

void DownloadNetworkManager::readyRead()
{
    QNetworkReply *reply = currentReply;
    if (!reply || failed)
        return;
    stallTimer.start();
    const QByteArray data = reply->readAll();
    bytesThisWindow += data.size();
    if (!bodyProblem(reply).isEmpty() || !roomFor(data.size()) || !openFile())
        return;
    if (!contentCheck.add(data)) {
        fail(QNetworkReply::UnknownContentError, contentCheck.errorString());
        return;
    }
    if (file.write(data) != data.size()) {
        failWrite();
        return;
    }
    bytesWritten += data.size();
    writeBack.written(file.handle(), bytesWritten);
}

void DownloadNetworkManager::replyFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    if (reply != currentReply)
        return;
    stallTimer.stop();
    paceTimer.stop();

    if (!failed) {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        const QString problem = bodyProblem(reply);
        transient = RetryPolicy::isTransient(reply);
        if (reply->error() != QNetworkReply::NoError) {
            lastErrorCode = reply->error();
            lastErrorString = reply->errorString();
        } else if (!problem.isEmpty()) {
            lastErrorCode = QNetworkReply::UnknownContentError;
            lastErrorString = problem;
        } else if (length.isValid() && bytesWritten - responseOffset < length.toLongLong()) {
            // The client sometimes takes a closed connection for the end of the body.
            lastErrorCode = QNetworkReply::RemoteHostClosedError;
            lastErrorString = tr("The connection closed after %1 of %2 bytes")
                                  .arg(bytesWritten - responseOffset)
                                  .arg(length.toLongLong());
            transient = true;
        } else if (!contentCheck.finish()) {
            lastErrorCode = QNetworkReply::UnknownContentError;
            lastErrorString = contentCheck.errorString();
            transient = false;
        } else if (openFile()) { // an empty body still leaves its (empty) file
            lastErrorCode = QNetworkReply::NoError;
        }
    }
    // Further into the file at no less than the floor's pace since the last such attempt, waits
    // included: a peer that hands out a few bytes an attempt does not start the counts again.
    const qint64 gained = bytesWritten - furthest;
    if (gained > 0 && gained >= limits.minBytesPerSecond * retryClock.elapsed() / 1000) {
        furthest = bytesWritten;
        attempt = 1;
        retryClock.start();
    }
    const int waitMs = limits.retry.waitMs(reply, attempt);
    currentReply = nullptr;
    if (lastErrorCode != QNetworkReply::NoError && transient && attempt < limits.retry.maxAttempts
        && retryClock.elapsed() + waitMs < limits.retryBudgetMs) {
        emit retrying(waitMs, attempt + 1, limits.retry.maxAttempts, lastErrorString);
        retryTimer.start(waitMs);
        return;
    }
    finish();
}

void DownloadNetworkManager::finish()
{
    deadline.stop();
    // Bytes other than the release's must not linger.
    const bool refused = !contentCheck.errorString().isEmpty();
    if (refused && fileHandle >= 0 && file.isOpen())
        file.resize(0);
    file.close();
    if (refused && fileHandle < 0)
        file.remove();
    // No reply is left to fail by now, so the error is recorded here.
    if (lastErrorCode == QNetworkReply::NoError && file.error() != QFileDevice::NoError) {
        lastErrorCode = QNetworkReply::OperationCanceledError;
        lastErrorString = writeErrorString();
    }
    emit replyFinished();
}

void DownloadNetworkManager::onAuthenticationRequest(QNetworkReply *reply, QAuthenticator *authenticator)
{
    // Credentials are never given: a server that asks for them fails the download.
    Q_UNUSED(reply);
    Q_UNUSED(authenticator);
}
