#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>

class QNetworkProxy;
class QTcpSocket;

// One GET over plain HTTP straight to the server, read in the thread that asked for it through a
// socket that buffers. The client's own replies run in an HTTP thread and read each response head
// a byte per system call: for a release of thousands of small files that costs more than the files
// themselves. The outcomes are the client's for the same answers (error codes and texts, status,
// reason and headers); what this does not do (a proxy, TLS, credentials) stays with the client.
class PlainHttpReply : public QNetworkReply
{
    Q_OBJECT

public:
    // connection: left open by an earlier reply to the same server, or null for a new one; the
    // reply owns it from now on.
    PlainHttpReply(const QNetworkRequest &request, QTcpSocket *connection, QObject *parent);
    ~PlainHttpReply() override;

    // Whether a request made with the manager's proxy goes this way.
    static bool takes(QNetworkAccessManager::Operation operation, const QNetworkRequest &request,
                      const QNetworkProxy &proxy);
    // "host:port" of the server a request is sent to: a connection is only reused for the same.
    static QString serverOf(const QUrl &url);
    // The connection, when the answer ended where it said it would and the server keeps the
    // connection open; null otherwise. The caller owns it from then on.
    QTcpSocket *takeIdleConnection();

    void abort() override;
    qint64 bytesAvailable() const override;
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *data, qint64 maxSize) override;

private:
    enum class Stage { Head, Body, ChunkSize, ChunkData, ChunkEnd, Trailers, Done };

    void attach(QTcpSocket *connection);
    void send();
    void take();
    bool takeHead();
    void takeBody(qint64 bytes);
    bool takeChunked();
    void complete();
    void socketFailed();
    void closed();
    void settle();
    void fail(NetworkError code, const QString &text);
    void corrupted();
    void end();
    qint64 unread() const { return body.size() - bodyRead; }

    QTcpSocket *socket = nullptr;
    bool reused = false;    // the connection served an earlier answer
    bool answered = false;  // a byte of the answer arrived
    bool completed = false; // the whole answer arrived
    int resends = 0;
    bool peerClosed = false; // the server closed the connection
    QByteArray inbox;    // received, not yet taken
    QByteArray body;     // taken; read up to bodyRead
    int bodyRead = 0;
    Stage stage = Stage::Head;
    bool untilClose = false;   // the body ends with the connection
    bool keepAlive = true;
    qint64 remaining = 0;      // of the body or the current chunk
    qint64 received = 0;
    qint64 total = -1;
    int statusCode = 0;
    QElapsedTimer progressChoke;
};
