#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// nginx serving a folder at /files/ over TLS on a free loopback port, its certificate for 127.0.0.1
// signed by an authority made here, or (untrusted) by a key of its own that no authority vouches for.
class TlsFileServer
{
public:
    ~TlsFileServer();

    // False, with the reason in errorString(), when nginx or openssl is missing or would not start.
    bool start(const QString &folder, bool signedByAuthority = true);
    QString authorityFile() const { return work.filePath("authority.pem"); }
    QString url() const { return QString("https://127.0.0.1:%1/files").arg(port); }
    QString errorString() const { return error; }

private:
    bool openssl(const QStringList &arguments);

    QTemporaryDir work;
    QProcess nginx;
    int port = 0;
    QString error;
};
