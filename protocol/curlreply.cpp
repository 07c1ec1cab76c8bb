#include "protocol/curlreply.h"
#include "protocol/curlmulti.h"
#include "protocol/systemproxy.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QNetworkProxyFactory>
#include <QTemporaryFile>

namespace {

// The error the client gives an answer of this status (400 or above).
QNetworkReply::NetworkError errorOfStatus(int status)
{
    switch (status) {
    case 400:
    case 418:
        return QNetworkReply::ProtocolInvalidOperationError;
    case 401:
        return QNetworkReply::AuthenticationRequiredError;
    case 403:
        return QNetworkReply::ContentAccessDenied;
    case 404:
        return QNetworkReply::ContentNotFoundError;
    case 405:
        return QNetworkReply::ContentOperationNotPermittedError;
    case 407:
        return QNetworkReply::ProxyAuthenticationRequiredError;
    case 409:
        return QNetworkReply::ContentConflictError;
    case 410:
        return QNetworkReply::ContentGoneError;
    case 500:
        return QNetworkReply::InternalServerError;
    case 501:
        return QNetworkReply::OperationNotImplementedError;
    case 503:
        return QNetworkReply::ServiceUnavailableError;
    default:
        return status > 500 ? QNetworkReply::UnknownServerError : QNetworkReply::UnknownContentError;
    }
}

// Where the authorities are, when SSL_CERT_FILE (a PEM file) or SSL_CERT_DIR (folders of hashed
// PEM files, as OpenSSL reads them) add to the system's own; both empty when neither is set, and
// curl's defaults then stand. Folders are looked up per issuer, and the system's folder keeps the
// system's authorities trusted: reading every file up front would cost each run a tenth of a second.
// Only a curl without such a folder gets one file of the system's list and the added one, written
// once a process and private to it. Found once.
struct Authorities
{
    QByteArray file;
    QByteArray folders;
};

const Authorities &addedAuthorities()
{
    static QTemporaryFile written(QDir::tempPath() + "/updater-authorities-XXXXXX.pem");
    static const Authorities found = [] {
        Authorities found;
        // On Windows the system's store alone, as every program there trusts it: a company adds its
        // authority there.
#ifndef Q_OS_WIN
        const QByteArray file = qgetenv("SSL_CERT_FILE");
        const QByteArray dir = qgetenv("SSL_CERT_DIR");
        if (file.isEmpty() && dir.isEmpty())
            return found;
        CURL *probe = curl_easy_init();
        char *systemFolder = nullptr;
        char *systemFile = nullptr;
        if (probe) {
            curl_easy_getinfo(probe, CURLINFO_CAPATH, &systemFolder);
            curl_easy_getinfo(probe, CURLINFO_CAINFO, &systemFile);
        }
        found.folders = dir;
        if (systemFolder)
            found.folders += (found.folders.isEmpty() ? "" : ":") + QByteArray(systemFolder);
        if (file.isEmpty() || systemFolder || !systemFile) {
            found.file = file;
        } else {
            QFile system(QFile::decodeName(systemFile));
            QFile added(QFile::decodeName(file));
            const QByteArray all = (system.open(QIODevice::ReadOnly) ? system.readAll() + '\n' : QByteArray())
                + (added.open(QIODevice::ReadOnly) ? added.readAll() : QByteArray());
            // Nothing trusted rather than less than asked for, when the list cannot be written.
            found.file = written.open() && written.write(all) == all.size() && written.flush()
                ? QFile::encodeName(written.fileName())
                : QByteArray("/nonexistent");
        }
        curl_easy_cleanup(probe);
#endif
        return found;
    }();
    return found;
}

void useProxy(CURL *easy, const QNetworkProxy &proxy, const QUrl &url)
{
    // With none named, curl's own reading of http_proxy and the like is off as well.
    if (proxy.type() == QNetworkProxy::NoProxy
        || (proxy.type() == QNetworkProxy::DefaultProxy && !QNetworkProxyFactory::usesSystemConfiguration())) {
        curl_easy_setopt(easy, CURLOPT_PROXY, "");
        return;
    }
    if (proxy.type() == QNetworkProxy::DefaultProxy) {
#ifdef Q_OS_WIN
        // The system's settings for this URL; a proxy that asks is answered as the signed-in user.
        const QByteArray system = SystemProxy::forUrl(url);
        curl_easy_setopt(easy, CURLOPT_PROXY, system.isEmpty() ? "" : ("http://" + system).constData());
        if (!system.isEmpty()) {
            curl_easy_setopt(easy, CURLOPT_PROXYUSERPWD, ":");
            curl_easy_setopt(easy, CURLOPT_PROXYAUTH, long(CURLAUTH_NEGOTIATE | CURLAUTH_NTLM));
        }
#else
        Q_UNUSED(url); // curl reads http_proxy, https_proxy and no_proxy for each URL
#endif
        return;
    }
    const QByteArray scheme = proxy.type() == QNetworkProxy::Socks5Proxy ? "socks5h" : "http";
    const QByteArray address = scheme + "://" + QUrl::toAce(proxy.hostName()) + ':' + QByteArray::number(proxy.port());
    curl_easy_setopt(easy, CURLOPT_PROXY, address.constData());
    curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, proxy.user().toUtf8().constData());
    curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, proxy.password().toUtf8().constData());
    curl_easy_setopt(easy, CURLOPT_PROXYAUTH, long(CURLAUTH_ANY));
}

} // namespace

CurlReply::CurlReply(QNetworkAccessManager::Operation operation, const QNetworkRequest &request, const QByteArray &body,
                     const QNetworkProxy &proxy, CURLSH *connections, QObject *parent)
    : QNetworkReply(parent)
    , easy(CurlMulti::instance()->takeEasy())
    , upload(body)
{
    setRequest(request);
    setUrl(request.url());
    setOperation(operation);
    QIODevice::open(QIODevice::ReadOnly | QIODevice::Unbuffered);

    const QByteArray address = request.url().toEncoded();
    curl_easy_setopt(easy, CURLOPT_URL, address.constData());
    curl_easy_setopt(easy, CURLOPT_PRIVATE, this);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &CurlReply::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CurlReply::onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &CurlReply::onProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    // Large reads: each one costs a turn of the event loop, and a 16 KiB turn caps a large file's pace.
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 512L * 1024);
    curl_easy_setopt(easy, CURLOPT_HTTP_CONTENT_DECODING, 0L); // an encoded body is refused, never unpacked
    curl_easy_setopt(easy, CURLOPT_SSLVERSION, long(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_2TLS));
    // Over TLS a request waits for a connection that may multiplex (HTTP/2); plain http never does,
    // and a download ahead of its turn would wait for the one in flight.
    curl_easy_setopt(easy, CURLOPT_PIPEWAIT, long(request.url().scheme() == QLatin1String("https")));
    curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(easy, CURLOPT_HTTPAUTH, long(CURLAUTH_ANY)); // credentials only when asked for
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "Mozilla/5.0");
    // Read only for the first https request: where the variables name the whole system store,
    // reading it would cost a run over plain http a tenth of a second.
    if (request.url().scheme() == QLatin1String("https")) {
        if (!addedAuthorities().file.isEmpty())
            curl_easy_setopt(easy, CURLOPT_CAINFO, addedAuthorities().file.constData());
        if (!addedAuthorities().folders.isEmpty())
            curl_easy_setopt(easy, CURLOPT_CAPATH, addedAuthorities().folders.constData());
    }
    useProxy(easy, proxy, request.url());
    if (connections)
        curl_easy_setopt(easy, CURLOPT_SHARE, connections);

    const QVariant contentType = request.header(QNetworkRequest::ContentTypeHeader);
    if (contentType.isValid() && !request.hasRawHeader("Content-Type"))
        headers = curl_slist_append(headers, ("Content-Type: " + contentType.toByteArray()).constData());
    for (const QByteArray &name : request.rawHeaderList())
        headers = curl_slist_append(headers, (name + ": " + request.rawHeader(name)).constData());
    if (operation == QNetworkAccessManager::PostOperation) {
        headers = curl_slist_append(headers, "Expect:"); // the body goes at once, as the client sends it
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(upload.size()));
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, upload.constData());
    } else if (operation == QNetworkAccessManager::HeadOperation) {
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    }
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    // Refused before anything is sent, as the client refuses what it has no protocol for.
    const QString scheme = request.url().scheme().toLower();
    if ((scheme != QLatin1String("http") && scheme != QLatin1String("https")) || request.url().host().isEmpty()) {
        setError(ProtocolUnknownError, QCoreApplication::translate("QNetworkReply", "Protocol \"%1\" is unknown").arg(scheme));
        doneSeen = true;
        schedule();
        return;
    }
    running = CurlMulti::instance()->add(easy);
    if (!running)
        transferDone(CURLE_FAILED_INIT);
}

CurlReply::~CurlReply()
{
    if (running)
        CurlMulti::instance()->remove(easy);
    CurlMulti::instance()->giveBack(easy);
    curl_slist_free_all(headers);
}

size_t CurlReply::onHeader(char *data, size_t size, size_t count, void *self)
{
    auto *reply = static_cast<CurlReply *>(self);
    // Cut out in place, as trimmed() would: every file brings a handful of these lines.
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; };
    const auto trim = [&blank](const char *&begin, const char *&end) {
        while (begin < end && blank(*begin))
            ++begin;
        while (end > begin && blank(end[-1]))
            --end;
    };
    const char *begin = data;
    const char *end = data + size * count;
    trim(begin, end);
    const QByteArray line = QByteArray::fromRawData(begin, int(end - begin));
    if (line.startsWith("HTTP/")) { // each answer, interim ones too, begins anew
        const int code = line.indexOf(' ');
        const int phrase = code < 0 ? -1 : line.indexOf(' ', code + 1);
        reply->status = code < 0 ? 0 : line.mid(code + 1, phrase < 0 ? -1 : phrase - code - 1).toInt();
        // Without a phrase the client gives the whole line as the reason, for HTTP/1 at least.
        reply->reason = phrase >= 0 ? line.mid(phrase + 1).trimmed()
                      : line.startsWith("HTTP/1.") ? QByteArray(line.constData(), line.size())
                                                   : QByteArray();
        reply->head.clear();
        reply->headComplete = false;
    } else if (line.isEmpty()) {
        // Taken with the first byte of the body or at the end: curl may still answer a demand for
        // credentials with a request of its own, and only the answer to that one counts.
        reply->headComplete = reply->status >= 200;
    } else if (!reply->headComplete) { // trailers after the body are not the answer's headers
        const int colon = line.indexOf(':');
        if (colon > 0) {
            const char *nameEnd = begin + colon;
            const char *value = nameEnd + 1;
            trim(begin, nameEnd);
            trim(value, end);
            reply->head.append({QByteArray(begin, int(nameEnd - begin)), QByteArray(value, int(end - value))});
        }
    }
    return size * count;
}

void CurlReply::takeHead()
{
    headTaken = true;
    setAttribute(QNetworkRequest::HttpStatusCodeAttribute, status);
    setAttribute(QNetworkRequest::HttpReasonPhraseAttribute, QString::fromLatin1(reason));
    long version = 0;
    curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &version);
    setAttribute(QNetworkRequest::Http2WasUsedAttribute, version == CURL_HTTP_VERSION_2_0);
    // A header sent twice reads as its values joined, as the client gives it. An answer holds a
    // handful of headers, each looked for among those before it; past that a hash keeps a flood of
    // them from costing their square.
    QList<int> firsts; // the first field of each name
    QList<QByteArray> values;
    QHash<QByteArray, int> many;
    for (int i = 0; i < head.size(); ++i) {
        int at = -1;
        if (head.size() <= 64) {
            for (int k = 0; k < firsts.size() && at < 0; ++k)
                at = qstricmp(head.at(firsts.at(k)).first.constData(), head.at(i).first.constData()) == 0 ? k : -1;
        } else {
            const QByteArray key = head.at(i).first.toLower();
            at = many.value(key, -1);
            if (at < 0)
                many.insert(key, firsts.size());
        }
        if (at < 0) {
            firsts << i;
            values << head.at(i).second;
        } else {
            values[at] += ", " + head.at(i).second;
        }
    }
    for (int k = 0; k < firsts.size(); ++k)
        setRawHeader(head.at(firsts.at(k)).first, values.at(k));
    headPending = true;
    schedule();
}

size_t CurlReply::onBody(char *data, size_t size, size_t count, void *self)
{
    auto *reply = static_cast<CurlReply *>(self);
    if (reply->readBufferSize() > 0 && reply->unread() >= reply->readBufferSize()) {
        reply->paused = true; // given again once the reader has taken some
        return CURL_WRITEFUNC_PAUSE;
    }
    if (!reply->headTaken)
        reply->takeHead();
    reply->body.append(QByteArray(data, int(size * count)));
    reply->unreadBytes += qint64(size * count);
    reply->received += qint64(size * count);
    reply->schedule();
    return size * count;
}

int CurlReply::onProgress(void *self, curl_off_t, curl_off_t, curl_off_t upTotal, curl_off_t upNow)
{
    auto *reply = static_cast<CurlReply *>(self);
    if (upNow != reply->uploaded || upTotal != reply->uploadTotal) {
        reply->uploaded = upNow;
        reply->uploadTotal = upTotal;
        reply->schedule();
    }
    return 0;
}

void CurlReply::schedule()
{
    if (scheduled)
        return;
    scheduled = true;
    if (!CurlMulti::instance()->deliverLater(this))
        QMetaObject::invokeMethod(this, &CurlReply::deliver, Qt::QueuedConnection);
}

// What arrived since the last delivery, told in the order the client tells it; the reader may end
// the reply in any of these signals.
void CurlReply::deliver()
{
    scheduled = false;
    if (isFinished())
        return;
    if (headPending) {
        headPending = false;
        emit metaDataChanged();
        if (isFinished())
            return;
    }
    if (uploadTotal > 0)
        emit uploadProgress(uploaded, uploadTotal);
    if (isFinished())
        return;
    // The bytes first, then how far they go, as the client tells it: even a reader that ends the
    // reply on the bytes hears of them.
    const bool arrived = unread() > 0;
    if (arrived)
        emit readyRead();
    // Once it has all arrived, a body of unknown length is as long as it was.
    const QVariant length = header(QNetworkRequest::ContentLengthHeader);
    if (arrived || (doneSeen && !isFinished()))
        emit downloadProgress(received, length.isValid() ? length.toLongLong() : doneSeen ? received : -1);
    if (isFinished() || !doneSeen)
        return;
    if (error() != NoError)
        emit errorOccurred(error());
    end();
}

void CurlReply::transferDone(CURLcode result)
{
    running = false;
    if (!headTaken && status > 0)
        takeHead();
    const QString text = QString::fromUtf8(*errorText ? errorText : curl_easy_strerror(result));
    switch (result) {
    case CURLE_OK:
        // The client answers a demand for credentials in its own words: it never has any to give.
        if (status == 401)
            setError(errorOfStatus(status), QCoreApplication::translate("QHttp", "Host requires authentication"));
        else if (status == 407)
            setError(errorOfStatus(status), QCoreApplication::translate("QHttp", "Proxy requires authentication"));
        else if (status >= 400)
            setError(errorOfStatus(status), QCoreApplication::translate("QNetworkReply", "Error transferring %1 - server replied: %2")
                                                .arg(url().toString(), QString::fromLatin1(reason)));
        break;
    case CURLE_COULDNT_CONNECT:
        setError(ConnectionRefusedError, QCoreApplication::translate("QHttp", "Connection refused"));
        break;
    case CURLE_COULDNT_RESOLVE_HOST:
        setError(HostNotFoundError, QCoreApplication::translate("QHttp", "Host %1 not found").arg(url().host()));
        break;
    case CURLE_COULDNT_RESOLVE_PROXY:
        setError(ProxyNotFoundError, text);
        break;
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
        setError(RemoteHostClosedError, QCoreApplication::translate("QHttp", "Connection closed"));
        break;
    case CURLE_OPERATION_TIMEDOUT:
        setError(TimeoutError, QCoreApplication::translate("QAbstractSocket", "Socket operation timed out"));
        break;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_BAD_CONTENT_ENCODING:
        setError(ProtocolFailure, QCoreApplication::translate("QHttp", "Data corrupted"));
        break;
    case CURLE_UNSUPPORTED_PROTOCOL:
        setError(ProtocolUnknownError, QCoreApplication::translate("QNetworkReply", "Protocol \"%1\" is unknown").arg(url().scheme()));
        break;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
        setError(SslHandshakeFailedError, text);
        break;
    default:
        setError(UnknownNetworkError, text);
        break;
    }
    doneSeen = true;
    schedule();
}

void CurlReply::fail(NetworkError code, const QString &text)
{
    if (isFinished())
        return;
    setError(code, text);
    emit errorOccurred(code);
    end();
}

void CurlReply::end()
{
    if (running) {
        CurlMulti::instance()->remove(easy);
        running = false;
    }
    setFinished(true);
    emit readChannelFinished();
    emit finished();
}

void CurlReply::abort()
{
    if (isFinished())
        return;
    QNetworkReply::close();
    fail(OperationCanceledError, QCoreApplication::translate("QNetworkReplyHttpImpl", "Operation canceled"));
}

qint64 CurlReply::bytesAvailable() const
{
    return unread() + QNetworkReply::bytesAvailable();
}

qint64 CurlReply::readData(char *data, qint64 maxSize)
{
    qint64 count = 0;
    while (count < maxSize && !body.isEmpty()) {
        const QByteArray &piece = body.first();
        const qint64 taken = qMin<qint64>(maxSize - count, piece.size() - firstRead);
        memcpy(data + count, piece.constData() + firstRead, size_t(taken));
        count += taken;
        firstRead += int(taken);
        if (firstRead == piece.size()) {
            body.removeFirst();
            firstRead = 0;
        }
    }
    unreadBytes -= count;
    // The transfer waited while the reader's share was full.
    if (paused && running && (readBufferSize() <= 0 || unread() < readBufferSize())) {
        paused = false;
        curl_easy_pause(easy, CURLPAUSE_CONT);
    }
    return count == 0 && isFinished() ? -1 : count;
}
