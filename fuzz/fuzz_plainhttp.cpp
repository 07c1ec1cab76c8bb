// An answer to a download as any server may send it: whatever bytes come back on the connection,
// the reply ends (finished, with or without an error) once the server closes it, and never hands
// on more body than the server sent.
#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkRequest>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <cstdlib>

#include "download/plainhttpreply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_plainhttp";
    static char *argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
    static QTcpServer server;
    static QByteArray answer;
    if (!server.isListening()) {
        if (!server.listen(QHostAddress::LocalHost))
            std::abort();
        QObject::connect(&server, &QTcpServer::newConnection, [] {
            QTcpSocket *peer = server.nextPendingConnection();
            peer->write(answer);
            peer->disconnectFromHost();
            QObject::connect(peer, &QTcpSocket::disconnected, peer, &QObject::deleteLater);
        });
    }
    answer = QByteArray(reinterpret_cast<const char *>(data), int(size));

    QNetworkRequest request(QUrl(QString("http://127.0.0.1:%1/file").arg(server.serverPort())));
    request.setRawHeader("Accept-Encoding", "identity");
    PlainHttpReply reply(request, nullptr, nullptr);
    qint64 body = 0;
    QObject::connect(&reply, &QNetworkReply::readyRead, [&] { body += reply.readAll().size(); });
    QEventLoop loop;
    QObject::connect(&reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    if (!reply.isFinished())
        loop.exec();
    body += reply.readAll().size();
    if (!reply.isFinished() || body > qint64(size))
        std::abort();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); // the server's closed peers
    return 0;
}
