#include "tests/support/tinyproxy.h"
#include "tests/support/testfiles.h"

#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

void TinyProxy::stop()
{
    if (process.state() != QProcess::NotRunning) {
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished();
        }
    }
}

bool TinyProxy::start(const QString &credentials)
{
    this->credentials = credentials;
    if (QStandardPaths::findExecutable("tinyproxy").isEmpty())
        return false;
    QTcpServer probe; // a free port, which tinyproxy cannot be told to pick itself
    if (!probe.listen(QHostAddress::LocalHost))
        return false;
    port = probe.serverPort();
    probe.close();
    const QString config = QString("Port %1\nListen 127.0.0.1\nAllow 127.0.0.1\nLogLevel Info\nLogFile \"%2\"\n")
                               .arg(port)
                               .arg(work.filePath("tinyproxy.log"))
        + (credentials.isEmpty() ? QString() : "BasicAuth " + QString(credentials).replace(':', ' ') + "\n");
    if (!writeFile(work.filePath("tinyproxy.conf"), config.toUtf8()))
        return false;
    process.start("tinyproxy", {"-d", "-c", work.filePath("tinyproxy.conf")});
    for (int i = 0; i < 200 && process.state() != QProcess::NotRunning; ++i) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, quint16(port));
        if (socket.waitForConnected(1000))
            return true;
        QThread::msleep(50);
    }
    return false;
}

QString TinyProxy::url(bool withCredentials) const
{
    return "http://" + (withCredentials && !credentials.isEmpty() ? credentials + "@" : QString()) + "127.0.0.1:"
        + QString::number(port);
}

QByteArray TinyProxy::log() const
{
    return readFile(work.filePath("tinyproxy.log"));
}
