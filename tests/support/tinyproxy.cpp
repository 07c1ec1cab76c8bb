#include "tests/support/tinyproxy.h"
#include "tests/support/childserver.h"
#include "tests/support/testfiles.h"

#include <QStandardPaths>

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
    port = freeLoopbackPort();
    if (port == 0)
        return false;
    const QString config = QString("Port %1\nListen 127.0.0.1\nAllow 127.0.0.1\nLogLevel Info\nLogFile \"%2\"\n")
                               .arg(port)
                               .arg(work.filePath("tinyproxy.log"))
        + (credentials.isEmpty() ? QString() : "BasicAuth " + QString(credentials).replace(':', ' ') + "\n");
    if (!writeFile(work.filePath("tinyproxy.conf"), config.toUtf8()))
        return false;
    process.start("tinyproxy", {"-d", "-c", work.filePath("tinyproxy.conf")});
    return acceptsConnections(process, port);
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
