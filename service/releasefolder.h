#pragma once

#include "service/releaseforms.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QString>
#include <QStringList>

#include "service/releasesigner.h"

// A release folder as the update service publishes and serves it: its files, the listing
// "release.json" that names them with their versions, modification times, sizes and SHA-256
// digests, and once signed "release-signed.json": the same files as a signed listing text with a
// sequence number and an expiry, and its Ed25519 signature.
class ReleaseFolder
{
    Q_DECLARE_TR_FUNCTIONS(ReleaseFolder)

public:
    static constexpr const char *listingName = "release.json";
    static constexpr const char *signedListingName = "release-signed.json";

    // What the service answers with.
    struct Listing
    {
        QJsonArray files;
        QString release;   // the signed listing text; empty when the folder is not signed
        QString signature; // hex, by the first key it was signed with: all that earlier updaters read
        QStringList signatures; // hex, one by each key it was signed with, the first included
        // SHA-256 (hex) of the listing as served: the signed text, else release.json's bytes.
        QString digest;
    };

    // What one publish did, path by path.
    struct Publication
    {
        QStringList added;
        QStringList changed;
        QStringList unchanged;
        QStringList removed;
        int sequence = 0; // of the signed listing; 0 when not signed
        QDateTime expires;
        QList<ReleaseForms::Report> forms; // of the files whose forms were made (or measured) now
    };

    explicit ReleaseFolder(const QString &dir);

    bool exists() const { return !root.isEmpty(); }

    // The file a listed path names, or an empty text when it is not a regular file inside the
    // folder (after resolving "..", absolute paths and symbolic links) or is one of the listings.
    // The files' forms are served too.
    QString resolve(const QString &relativePath) const;

    // The listing's entries exactly as written, hand edits included, with the signed listing when
    // there is one. Fails when the signed listing names other files than the listing does.
    bool readListing(Listing *listing, QString *error) const;

    // The listing as serve answers with it, held to everything an updater would refuse it for: it
    // parses, fits a reply, names an absolute http or https download URL (empty: the service's own),
    // has not expired and, with release keys, is signed and verifies under one of them.
    static bool readChecked(const QString &dir, const QStringList &releaseKeys, const QString &downloadUrl,
                            Listing *listing, QString *error);
    // Of the signed listing; 0 when not signed.
    static int sequenceOf(const Listing &listing);

    // The encrypted reply to an upgrade query with this listing, in bytes: hex of the ciphertext of
    // its compact JSON, with room for short members beside the listing's.
    static qint64 replyBytes(const Listing &listing, const QString &downloadUrl);
    // False, with the reason, when an updater would refuse that reply as too large.
    static bool replyFits(const Listing &listing, const QString &downloadUrl, QString *error);

    // What to do when a folder lists files but lacks its signed listing: starting again at sequence 1
    // would make every installation refuse the release as older than the one it has.
    static QString missingSignedListing(const QString &dir);

    // X.Y.Z, the form of every version the service publishes.
    static bool isVersion(const QString &text);

    // The signed listing's member, read from its text.
    static QJsonValue releaseMember(const QString &release, const char *name);

    // Lists every file below the folder by content: files new or changed since the last publish
    // take the version (so there must be one) and their current modification time; unchanged ones
    // keep both. With signers the signed listing is written too, signed by each, its sequence one
    // above the last and above `above` (another release's that users may hold), naming each file's
    // forms and execute bits; a sequence above 0 replaces that, but never goes below the last. A
    // listed folder without its signed listing is signed only with a sequence given. New and changed
    // files, and those lacking a compressed copy, get their forms made; the forms folder itself is
    // never listed.
    bool publish(const QString &version, const QList<ReleaseSigner> &signers, int sequence, int above,
                 int expiresInDays, bool dryRun, const ReleaseForms::Options &formOptions, Publication *publication,
                 QString *error) const;

private:
    QString path(const char *name) const { return root + "/" + name; }
    bool readFiles(QJsonArray *files, QString *error, QByteArray *bytes = nullptr) const;
    bool readSigned(Listing *listing, QString *error) const;

    QString root; // canonical, empty when the folder does not exist
};
