#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

// A release folder served by the real update-service on a loopback port; the process ends with
// the object.
class ReleaseService
{
public:
    struct File
    {
        QString path;
        QString version;
        QByteArray bytes;
        bool present = true; // listed but absent: the service answers 404 for it
        QString modifiedTime = "2020-01-01T00:00:00";
        bool executable = false; // so marked in the signed listing, and on disk
    };

    explicit ReleaseService(const QString &releaseDir);
    ~ReleaseService();

    // Writes the files and the service's listing of them, signed with the demo release key; the
    // service reads it on every query.
    bool publish(const QList<File> &files);
    // Writes the service's listing as given, hand edits and all, and unsigned.
    bool publishListing(const QJsonArray &entries);
    // Serves on a free port with the key and the extra arguments given.
    bool start(const QStringList &extraArguments = {}, const QString &keyFile = SERVICE_KEY_FILE);
    int port() const { return boundPort; }
    // Asks the service to read its rollout file again.
    void hangUp();
    // What the service wrote on standard error since the last call: its log.
    // What the service logged since the last call.
    QByteArray readStandardError();
    QString endpoint() const { return QString("http://127.0.0.1:%1/api/upgrade").arg(boundPort); }

private:
    QString dir;
    QProcess process;
    qint64 errorRead = 0;
    int boundPort = 0;
};
