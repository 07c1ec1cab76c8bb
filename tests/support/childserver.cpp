#include "tests/support/childserver.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

int freeLoopbackPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost) ? probe.serverPort() : 0;
}

bool acceptsConnections(const QProcess &process, int port)
{
    for (int i = 0; i < 200 && process.state() != QProcess::NotRunning; ++i) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, quint16(port));
        if (socket.waitForConnected(1000))
            return true;
        QThread::msleep(50);
    }
    return false;
}
