#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// A real tinyproxy on a free loopback port, asking for Basic credentials ("user:password") when
// given some; its log shows each request it forwarded.
class TinyProxy
{
public:
    ~TinyProxy() { stop(); }

    // False when tinyproxy is not installed or did not start.
    bool start(const QString &credentials = QString());
    // The proxy's URL, with the credentials in it when asked for.
    QString url(bool withCredentials = true) const;
    void stop();
    // Whole once stopped.
    QByteArray log() const;

private:
    QTemporaryDir work;
    QProcess process;
    QString credentials;
    int port = 0;
};
