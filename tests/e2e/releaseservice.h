#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

// A release folder served by the real update-service on a loopback port, for the suites that run
// whole updates.
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
    };

    explicit ReleaseService(const QString &releaseDir);
    ~ReleaseService();

    // Writes the files and the service's listing of them; the service reads it on every query.
    bool publish(const QList<File> &files);
    bool start(const QStringList &extraArguments = {});
    QString endpoint() const { return upgradeUrl; }

private:
    QString dir;
    QProcess process;
    QString upgradeUrl;
};

bool writeFile(const QString &path, const QByteArray &bytes);
QByteArray readFile(const QString &path);
// The updater's config.xml in updaterDir, naming the upgrade endpoint.
bool pointConfigAt(const QString &updaterDir, const QString &endpoint);
