#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>

#include "protocol/remotefileentry.h"

class QJsonValue;

// The release listing that the vendor signs offline, as the updater accepts it: only a listing
// signed by a trusted key, not expired and not older than the release last installed says which
// files make up the release and what their bytes must be.
class SignedRelease
{
    Q_DECLARE_TR_FUNCTIONS(SignedRelease)

public:
    // A smaller form of a file that the listing offers besides the file itself.
    struct Form
    {
        QString path; // relative to the download URL
        qint64 size = 0;
        QByteArray sha256;     // of the form's own bytes
        QByteArray baseSha256; // a patch: of the file it applies to; empty for the compressed copy
    };
    struct Content
    {
        qint64 size = 0;
        QByteArray sha256; // 32 bytes
        QList<Form> patches;
        QList<Form> executablePatches; // updaters before them read only "patches"
        Form compressed; // path empty: none
        bool executable = false; // given to the file when it is new here
    };

    // Keys as 64 hex characters each, comma-separated; anything else gives no key for that part.
    static QList<QByteArray> keysFromHex(const QString &text);

    // release and signature as the upgrade reply carries them, the signature hex, or several
    // comma-separated of which one must verify; now in UTC. On false the listing is refused and
    // errorString() says why in plain words.
    bool verify(const QString &release, const QString &signature, const QList<QByteArray> &trustedKeys,
                const QDateTime &now, qint64 lastSequence);
    QString errorString() const { return error; }
    // The last verify() refused a listing, trusted and current, only for being older than the one
    // installed: nothing newer to install (a rollout halted, say), rather than an attack to report.
    bool olderThanInstalled() const { return older; }

    qint64 sequence() const { return releaseSequence; }
    QDateTime expires() const { return expiry; }
    // In the shape of the upgrade reply's files, keyed by path.
    const QMap<QString, RemoteFileEntry> &files() const { return offered; }
    // What the file at path must hold; null when the listing does not name it.
    const Content *content(const QString &path) const;

private:
    bool refuse(const QString &reason);
    bool readListing(const QByteArray &text);
    static QString readForm(const QJsonValue &value, bool patch, Form *form);

    QString error;
    bool older = false;
    qint64 releaseSequence = 0;
    QDateTime expiry;
    QMap<QString, RemoteFileEntry> offered;
    QMap<QString, Content> contents;
};
