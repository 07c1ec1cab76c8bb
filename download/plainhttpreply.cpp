#include "download/plainhttpreply.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QLocale>
#include <QNetworkProxy>
#include <QTcpSocket>

namespace {

// The client reads a head of any length; one that never ends is cut off here instead.
constexpr int maxHeadBytes = 64 * 1024;
constexpr int maxChunkLineBytes = 1024;
// Past what the reader has not taken yet, the rest waits in the socket and then in the kernel.
constexpr qint64 socketBufferBytes = 64 * 1024;
// The client asks again this often when a connection closes before any answer.
constexpr int resendsAllowed = 2;
constexpr int progressIntervalMs = 100;

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

// A line of the inbox from `from`, without its line ending; false while it has not all arrived.
bool lineAt(const QByteArray &inbox, int from, QByteArray *line, int *next)
{
    const int end = inbox.indexOf('\n', from);
    if (end < 0)
        return false;
    *line = inbox.mid(from, end - from);
    if (line->endsWith('\r'))
        line->chop(1);
    *next = end + 1;
    return true;
}

} // namespace

PlainHttpReply::PlainHttpReply(const QNetworkRequest &request, QTcpSocket *connection, QObject *parent)
    : QNetworkReply(parent)
{
    setRequest(request);
    setUrl(request.url());
    setOperation(QNetworkAccessManager::GetOperation);
    QIODevice::open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    progressChoke.start();
    reused = connection && connection->state() == QAbstractSocket::ConnectedState;
    if (connection && !reused)
        delete connection;
    attach(reused ? connection : new QTcpSocket(this));
    if (reused)
        send();
    else
        socket->connectToHost(url().host(), quint16(url().port(80)));
}

PlainHttpReply::~PlainHttpReply() = default;

bool PlainHttpReply::takes(QNetworkAccessManager::Operation operation, const QNetworkRequest &request,
                           const QNetworkProxy &proxy)
{
    const QUrl &url = request.url();
    // Without Accept-Encoding the client would offer compressed bodies and unpack them.
    return operation == QNetworkAccessManager::GetOperation && proxy.type() == QNetworkProxy::NoProxy
        && request.hasRawHeader("Accept-Encoding")
        && url.scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) == 0 && !url.host().isEmpty()
        && url.port(80) > 0
        && request.attribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy).toInt()
               == QNetworkRequest::ManualRedirectPolicy;
}

QString PlainHttpReply::serverOf(const QUrl &url)
{
    return url.host().toLower() + ':' + QString::number(url.port(80));
}

QTcpSocket *PlainHttpReply::takeIdleConnection()
{
    if (!socket || !completed || !keepAlive || untilClose || !inbox.isEmpty() || socket->bytesAvailable() > 0
        || socket->state() != QAbstractSocket::ConnectedState)
        return nullptr;
    QTcpSocket *connection = socket;
    connection->disconnect(this);
    connection->setParent(nullptr);
    socket = nullptr;
    return connection;
}

void PlainHttpReply::attach(QTcpSocket *connection)
{
    socket = connection;
    socket->setParent(this);
    socket->setProxy(QNetworkProxy::NoProxy); // as the manager's; never Qt's process-wide one
    socket->setReadBufferSize(socketBufferBytes);
    connect(socket, &QTcpSocket::connected, this, &PlainHttpReply::send);
    connect(socket, &QTcpSocket::readyRead, this, &PlainHttpReply::take);
    connect(socket, &QAbstractSocket::errorOccurred, this, &PlainHttpReply::socketFailed);
    connect(socket, &QAbstractSocket::disconnected, this, &PlainHttpReply::closed);
}

// The request byte for byte as the client writes it.
void PlainHttpReply::send()
{
    QUrl target = url();
    QUrl::FormattingOptions format = QUrl::RemoveFragment | QUrl::RemoveUserInfo | QUrl::FullyEncoded
        | QUrl::RemoveScheme | QUrl::RemoveAuthority;
    if (target.path().isEmpty())
        target.setPath(QStringLiteral("/"));
    else
        format |= QUrl::NormalizePathSegments;
    const QString hostName = target.host();
    QByteArray host = QHostAddress(hostName).protocol() == QAbstractSocket::IPv6Protocol ? '[' + hostName.toLatin1() + ']'
                    : QHostAddress(hostName).isNull() ? QUrl::toAce(hostName) : hostName.toLatin1();
    if (target.port() != -1)
        host += ':' + QByteArray::number(target.port());
    QByteArray head = "GET " + target.toEncoded(format) + " HTTP/1.1\r\nHost: " + host + "\r\n";
    const QNetworkRequest asked = request();
    for (const QByteArray &name : asked.rawHeaderList())
        head += name + ": " + asked.rawHeader(name) + "\r\n";
    if (!asked.hasRawHeader("Connection"))
        head += "Connection: Keep-Alive\r\n";
    if (!asked.hasRawHeader("Accept-Language")) {
        const QString locale = QLocale::system().name().replace('_', '-');
        head += "Accept-Language: "
            + (locale == QLatin1String("C") ? QByteArray("en,*")
               : locale.startsWith(QLatin1String("en-")) ? locale.toLatin1() + ",*" : locale.toLatin1() + ",en,*")
            + "\r\n";
    }
    if (!asked.hasRawHeader("User-Agent"))
        head += "User-Agent: Mozilla/5.0\r\n";
    socket->write(head + "\r\n");
}

void PlainHttpReply::take()
{
    if (isFinished() || (readBufferSize() > 0 && unread() >= readBufferSize()))
        return;
    inbox += socket->readAll();
    answered = answered || !inbox.isEmpty();
    while (!isFinished() && !inbox.isEmpty()) {
        const bool progressed = stage == Stage::Head ? takeHead()
                              : stage == Stage::Body ? (takeBody(untilClose ? inbox.size() : qMin<qint64>(remaining, inbox.size())), true)
                                                     : takeChunked();
        if (!progressed)
            break;
    }
    if (peerClosed && (readBufferSize() == 0 || unread() < readBufferSize()))
        settle();
}

bool PlainHttpReply::takeHead()
{
    // Blank lines left over before an answer are passed over, as the client does.
    int at = 0;
    while (at < inbox.size() && (inbox.at(at) == '\r' || inbox.at(at) == '\n'))
        ++at;
    QByteArray status;
    int next = 0;
    QList<QByteArray> lines;
    bool whole = lineAt(inbox, at, &status, &next);
    while (whole) {
        QByteArray line;
        whole = lineAt(inbox, next, &line, &next);
        if (!whole || line.isEmpty())
            break;
        lines << line;
    }
    if (!whole) {
        if (inbox.size() > maxHeadBytes)
            corrupted();
        return false;
    }
    inbox.remove(0, next);

    // "HTTP/n.n code reason", read exactly as the client reads it.
    const int end = status.indexOf(' ', 9);
    bool numeric = false;
    statusCode = status.mid(9, end < 0 ? -1 : end - 9).toInt(&numeric);
    if (status.size() < 11 || !status.startsWith("HTTP/") || status.at(6) != '.' || status.at(8) != ' ' || !numeric
        || !QChar::isDigit(uchar(status.at(5))) || !QChar::isDigit(uchar(status.at(7)))) {
        corrupted();
        return false;
    }
    if (statusCode >= 100 && statusCode < 200 && statusCode != 101)
        return true; // an interim answer; the real one follows

    for (const QByteArray &line : qAsConst(lines)) {
        const int colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed();
        QByteArray value = rawHeader(name);
        if (!value.isEmpty())
            value += name.compare("set-cookie", Qt::CaseInsensitive) == 0 ? "\n" : ", ";
        setRawHeader(name, value + line.mid(colon + 1).trimmed());
    }
    setAttribute(QNetworkRequest::HttpStatusCodeAttribute, statusCode);
    setAttribute(QNetworkRequest::HttpReasonPhraseAttribute, QString::fromLatin1(status.constData() + end + 1));

    const QByteArray connection = rawHeader("Connection").toLower();
    keepAlive = status.startsWith("HTTP/1.1") ? !connection.contains("close") : connection.contains("keep-alive");
    const QList<QByteArray> lengths = rawHeader("Content-Length").split(',');
    bool lengthValid = false;
    const qint64 length = lengths.first().trimmed().toLongLong(&lengthValid);
    for (const QByteArray &other : lengths)
        lengthValid = lengthValid && other.trimmed() == lengths.first().trimmed() && length >= 0;
    if (statusCode == 204 || statusCode == 304) {
        stage = Stage::Done;
    } else if (rawHeader("Transfer-Encoding").toLower().contains("chunked")) {
        stage = Stage::ChunkSize;
    } else if (hasRawHeader("Content-Length")) {
        if (!lengthValid) {
            corrupted();
            return false;
        }
        stage = Stage::Body;
        remaining = total = length;
    } else {
        stage = Stage::Body;
        untilClose = true;
        keepAlive = false;
    }
    emit metaDataChanged();
    if (!isFinished() && (stage == Stage::Done || (stage == Stage::Body && !untilClose && remaining == 0)))
        complete();
    return true;
}

void PlainHttpReply::takeBody(qint64 bytes)
{
    if (unread() == 0 && bytes == inbox.size()) {
        body.swap(inbox);
        inbox.clear();
        bodyRead = 0;
    } else {
        body += inbox.left(int(bytes));
        inbox.remove(0, int(bytes));
    }
    received += bytes;
    remaining -= bytes;
    if (bytes > 0) {
        emit readyRead();
        if (isFinished())
            return;
        // As often as the client reports progress; the end is always reported.
        if (progressChoke.elapsed() >= progressIntervalMs) {
            progressChoke.restart();
            emit downloadProgress(received, total);
            if (isFinished())
                return;
        }
    }
    if (stage == Stage::Body && !untilClose && remaining == 0)
        complete();
    else if (stage == Stage::ChunkData && remaining == 0)
        stage = Stage::ChunkEnd;
}

bool PlainHttpReply::takeChunked()
{
    QByteArray line;
    int next = 0;
    switch (stage) {
    case Stage::ChunkSize: {
        if (!lineAt(inbox, 0, &line, &next)) {
            if (inbox.size() > maxChunkLineBytes)
                corrupted();
            return false;
        }
        bool valid = false;
        const qint64 size = line.left(line.indexOf(';') < 0 ? line.size() : line.indexOf(';')).trimmed().toLongLong(&valid, 16);
        if (!valid || size < 0) {
            corrupted();
            return false;
        }
        inbox.remove(0, next);
        remaining = size;
        stage = size == 0 ? Stage::Trailers : Stage::ChunkData;
        return true;
    }
    case Stage::ChunkData:
        takeBody(qMin<qint64>(remaining, inbox.size()));
        return true;
    case Stage::ChunkEnd:
        if (!lineAt(inbox, 0, &line, &next) && inbox.size() < 2)
            return false; // the line ending has not all arrived
        if (!line.isEmpty() || next == 0) {
            corrupted();
            return false;
        }
        inbox.remove(0, next);
        stage = Stage::ChunkSize;
        return true;
    default: // the trailers, up to a blank line
        while (lineAt(inbox, 0, &line, &next)) {
            inbox.remove(0, next);
            if (line.isEmpty()) {
                complete();
                return true;
            }
        }
        if (inbox.size() > maxHeadBytes)
            corrupted();
        return false;
    }
}

void PlainHttpReply::complete()
{
    stage = Stage::Done;
    completed = true;
    // The client answers a demand for credentials in its own words: it never has any to give.
    if (statusCode == 401 || statusCode == 407) {
        setError(errorOfStatus(statusCode), statusCode == 401
                     ? QCoreApplication::translate("QHttp", "Host requires authentication")
                     : QCoreApplication::translate("QHttp", "Proxy requires authentication"));
        emit errorOccurred(error());
    } else if (statusCode >= 400) {
        setError(errorOfStatus(statusCode),
                 QCoreApplication::translate("QNetworkReply", "Error transferring %1 - server replied: %2")
                     .arg(url().toString(), attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString()));
        emit errorOccurred(error());
    }
    end();
}

void PlainHttpReply::socketFailed()
{
    if (isFinished())
        return;
    switch (socket->error()) {
    case QAbstractSocket::RemoteHostClosedError:
        return closed();
    case QAbstractSocket::ConnectionRefusedError:
        return fail(ConnectionRefusedError, QCoreApplication::translate("QHttp", "Connection refused"));
    case QAbstractSocket::HostNotFoundError:
        return fail(HostNotFoundError, QCoreApplication::translate("QHttp", "Host %1 not found").arg(url().host()));
    case QAbstractSocket::SocketTimeoutError:
        return fail(TimeoutError, QCoreApplication::translate("QAbstractSocket", "Socket operation timed out"));
    default:
        return fail(UnknownNetworkError, socket->errorString());
    }
}

void PlainHttpReply::closed()
{
    peerClosed = true;
    take(); // what arrived before the close; it ends the answer once taken
}

// The server has closed the connection: the answer ends once the bytes it sent before are taken.
void PlainHttpReply::settle()
{
    if (isFinished() || socket->bytesAvailable() > 0)
        return;
    if (stage == Stage::Body && untilClose)
        return complete();
    if (!answered && resends < resendsAllowed) {
        // Closed before any answer, as a server does with a connection it no longer keeps: asked
        // again on a new one.
        ++resends;
        peerClosed = false;
        socket->disconnect(this);
        socket->deleteLater();
        attach(new QTcpSocket(this));
        socket->connectToHost(url().host(), quint16(url().port(80)));
        return;
    }
    fail(RemoteHostClosedError, QCoreApplication::translate("QHttp", "Connection closed"));
}

// What the client says of an answer it cannot read.
void PlainHttpReply::corrupted()
{
    fail(ProtocolFailure, QCoreApplication::translate("QHttp", "Data corrupted"));
}

void PlainHttpReply::fail(NetworkError code, const QString &text)
{
    if (isFinished())
        return;
    stage = Stage::Done;
    setError(code, text);
    emit errorOccurred(code);
    end();
}

void PlainHttpReply::abort()
{
    if (isFinished())
        return;
    QNetworkReply::close();
    fail(OperationCanceledError, QCoreApplication::translate("QNetworkReplyHttpImpl", "Operation canceled"));
}

void PlainHttpReply::end()
{
    if (socket && !completed) {
        socket->disconnect(this);
        socket->abort();
    }
    setFinished(true);
    emit downloadProgress(received, total < 0 ? received : total);
    emit readChannelFinished();
    emit finished();
}

qint64 PlainHttpReply::bytesAvailable() const
{
    return unread() + QNetworkReply::bytesAvailable();
}

qint64 PlainHttpReply::readData(char *data, qint64 maxSize)
{
    const qint64 count = qMin<qint64>(maxSize, unread());
    memcpy(data, body.constData() + bodyRead, size_t(count));
    bodyRead += int(count);
    if (bodyRead == body.size()) {
        body.clear();
        bodyRead = 0;
    }
    // Taking was held back while the reader's share was full.
    if (count > 0 && socket && !isFinished() && (socket->bytesAvailable() > 0 || peerClosed))
        QMetaObject::invokeMethod(this, &PlainHttpReply::take, Qt::QueuedConnection);
    return count == 0 && isFinished() ? -1 : count;
}
