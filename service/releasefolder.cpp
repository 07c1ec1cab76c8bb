#include "service/releasefolder.h"

#include "protocol/pathcheck.h"
#include "protocol/payloadcrypto.h"
#include "protocol/remotefileentry.h"
#include "protocol/upgradereply.h"
#include "service/releasesigner.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>
#include <QUrl>

#include <algorithm>
#include <map>

namespace {

bool readJsonObject(const QString &path, QJsonObject *object, QString *error, QByteArray *bytes = nullptr)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = ReleaseFolder::tr("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    const QByteArray text = file.readAll();
    if (bytes)
        *bytes = text;
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        *error = ReleaseFolder::tr("%1 is not a JSON object").arg(path);
        return false;
    }
    *object = document.object();
    return true;
}

bool writeJson(const QString &path, const QJsonObject &object, QString *error)
{
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(QJsonDocument(object).toJson()) < 0 || !out.commit()) {
        *error = ReleaseFolder::tr("cannot write %1: %2").arg(path, out.errorString());
        return false;
    }
    return true;
}

QByteArray sha256Hex(const QString &path, bool *ok)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    *ok = file.open(QIODevice::ReadOnly) && hash.addData(&file);
    return hash.result().toHex();
}

} // namespace

ReleaseFolder::ReleaseFolder(const QString &dir)
    : root(QFileInfo(dir).isDir() ? QFileInfo(dir).canonicalFilePath() : QString())
{
}

QString ReleaseFolder::resolve(const QString &relativePath) const
{
    if (!exists() || relativePath.isEmpty() || QDir::isAbsolutePath(relativePath))
        return {};
    const QFileInfo info(root + "/" + relativePath);
    const QString canonical = info.canonicalFilePath();
    if (!info.isFile() || pathBelow(canonical, root).isEmpty() || canonical == path(listingName)
        || canonical == path(signedListingName))
        return {};
    return canonical;
}

bool ReleaseFolder::readFiles(QJsonArray *files, QString *error, QByteArray *bytes) const
{
    QJsonObject listing;
    if (!readJsonObject(path(listingName), &listing, error, bytes))
        return false;
    if (!listing.value("files").isArray()) {
        *error = tr("%1 holds no \"files\" array").arg(path(listingName));
        return false;
    }
    *files = listing.value("files").toArray();
    return true;
}

bool ReleaseFolder::readSigned(Listing *listing, QString *error) const
{
    QJsonObject signedListing;
    if (!readJsonObject(path(signedListingName), &signedListing, error))
        return false;
    listing->release = signedListing.value("release").toString();
    listing->signature = signedListing.value("release_signature").toString();
    for (const QJsonValue &signature : signedListing.value("release_signatures").toArray())
        listing->signatures << signature.toString();
    if (listing->signatures.isEmpty())
        listing->signatures << listing->signature;
    if (!releaseMember(listing->release, "files").isArray() || listing->signature.isEmpty()) {
        *error = tr("%1 holds no signed listing").arg(path(signedListingName));
        return false;
    }
    return true;
}

QString ReleaseFolder::missingSignedListing(const QString &dir)
{
    return tr("%1 has %2 but no %3: copy %3 from the build machine with it (they travel together), "
              "or give --sequence N above the last sequence your users have; signing it afresh would start "
              "again at 1, and every installation would refuse it as older")
        .arg(dir, listingName, signedListingName);
}

bool ReleaseFolder::isVersion(const QString &text)
{
    return QRegularExpression("^\\d+\\.\\d+\\.\\d+$").match(text).hasMatch();
}

QJsonValue ReleaseFolder::releaseMember(const QString &release, const char *name)
{
    return QJsonDocument::fromJson(release.toUtf8()).object().value(name);
}

bool ReleaseFolder::readListing(Listing *listing, QString *error) const
{
    *listing = Listing();
    QByteArray bytes;
    if (!readFiles(&listing->files, error, &bytes))
        return false;
    const auto digestOf = [](const QByteArray &text) {
        return QString::fromLatin1(QCryptographicHash::hash(text, QCryptographicHash::Sha256).toHex());
    };
    if (!QFile::exists(path(signedListingName))) {
        listing->digest = digestOf(bytes);
        return true;
    }
    if (!readSigned(listing, error))
        return false;
    listing->digest = digestOf(listing->release.toUtf8());
    // Answering with files the signature does not cover would only make every updater refuse. The
    // forms are named in the signed listing alone.
    QJsonArray signedFiles;
    for (const QJsonValue &entry : releaseMember(listing->release, "files").toArray()) {
        QJsonObject file = entry.toObject();
        file.remove("compressed");
        file.remove("patches");
        file.remove("executable_patches");
        file.remove("executable");
        signedFiles.append(entry.isObject() ? QJsonValue(file) : entry);
    }
    if (signedFiles != listing->files) {
        *error = tr("%1 names other files than %2; publish again with --sign")
                     .arg(path(signedListingName), path(listingName));
        return false;
    }
    return true;
}

namespace {

// Where updaters are sent for the files: anything else fails on every user's machine, not here.
bool checkDownloadUrl(const QString &url, QString *error)
{
    if (url.isEmpty() || isDownloadableUrl(QUrl(url, QUrl::StrictMode)))
        return true;
    *error = ReleaseFolder::tr("the download URL %1 is not an absolute http or https URL, such as "
                               "https://updates.example.com/files").arg(url);
    return false;
}

bool checkSignature(const QString &dir, const ReleaseFolder::Listing &listing, const QStringList &releaseKeys,
                    QString *error)
{
    if (listing.release.isEmpty()) {
        if (!releaseKeys.isEmpty())
            *error = ReleaseFolder::missingSignedListing(dir);
        return releaseKeys.isEmpty();
    }
    const QDateTime expires = QDateTime::fromString(
        ReleaseFolder::releaseMember(listing.release, "expires").toString(), Qt::ISODate);
    if (!expires.isValid() || expires <= QDateTime::currentDateTimeUtc()) {
        *error = ReleaseFolder::tr("the signed listing has expired; publish it again with --sign");
        return false;
    }
    for (const QString &key : releaseKeys) {
        for (const QString &signature : listing.signatures) {
            if (ReleaseSigner::verify(key.toStdString(), listing.release.toStdString(), signature.toStdString()))
                return true;
        }
    }
    if (!releaseKeys.isEmpty())
        *error = ReleaseFolder::tr("the signed listing does not verify under --release-key; "
                                   "publish it again with --sign and the matching private key");
    return releaseKeys.isEmpty();
}

} // namespace

bool ReleaseFolder::readChecked(const QString &dir, const QStringList &releaseKeys, const QString &downloadUrl,
                                Listing *listing, QString *error)
{
    const ReleaseFolder folder(dir);
    if (!folder.exists()) {
        *error = tr("the release folder %1 does not exist").arg(dir);
        return false;
    }
    if (!QFile::exists(dir + "/" + listingName)) {
        *error = tr("%1 has no %2: run publish first").arg(dir, listingName);
        return false;
    }
    return checkDownloadUrl(downloadUrl, error) && folder.readListing(listing, error)
        && checkSignature(dir, *listing, releaseKeys, error) && replyFits(*listing, downloadUrl, error);
}

int ReleaseFolder::sequenceOf(const Listing &listing)
{
    return listing.release.isEmpty() ? 0 : releaseMember(listing.release, "sequence").toInt();
}

qint64 ReleaseFolder::replyBytes(const Listing &listing, const QString &downloadUrl)
{
    // As the service answers: each entry gains its "file_name", and the signed listing rides along.
    QJsonArray files;
    for (const QJsonValue &entry : listing.files) {
        QJsonObject file = entry.toObject();
        file.insert("file_name", file.value("file_path").toString().section('/', -1));
        files.append(file);
    }
    QJsonObject reply{{"download_url", downloadUrl}, {"files", files}, {"release", listing.release},
                      {"release_signature", listing.signature}};
    if (listing.signatures.size() > 1)
        reply.insert("release_signatures", QJsonArray::fromStringList(listing.signatures));
    const qint64 headroom = 1024;
    return 2 * (QJsonDocument(reply).toJson(QJsonDocument::Compact).size() + headroom);
}

bool ReleaseFolder::replyFits(const Listing &listing, const QString &downloadUrl, QString *error)
{
    const qint64 bound = maxReplyBodyBytes;
    const qint64 bytes = replyBytes(listing, downloadUrl);
    if (bytes <= bound)
        return true;
    *error = tr("the reply to an upgrade query would be %1 MiB, over the %2 MiB an updater accepts; "
                "publish fewer files or shorter entries")
                 .arg(double(bytes) / (1 << 20), 0, 'f', 1)
                 .arg(bound >> 20);
    return false;
}

bool ReleaseFolder::publish(const QString &version, const QList<ReleaseSigner> &signers, int sequence, int above,
                            int expiresInDays, bool dryRun, const ReleaseForms::Options &formOptions,
                            Publication *publication, QString *error) const
{
    const bool signing = !signers.isEmpty();
    *publication = Publication();
    if (!exists()) {
        *error = tr("the release folder does not exist");
        return false;
    }
    const ReleaseForms forms(root, formOptions);
    if (!forms.checkOptions(error))
        return false;
    // Only the signed listing names the forms; unsigned, they would be work and bytes for nothing.
    if (!signing && !formOptions.deltaFrom.isEmpty()) {
        *error = tr("--delta-from needs --sign: only the signed listing names patches");
        return false;
    }
    if (!version.isEmpty() && !isVersion(version)) {
        *error = tr("version \"%1\" is not of the form X.Y.Z").arg(version);
        return false;
    }
    const bool wasSigned = QFile::exists(path(signedListingName));
    // An unsigned listing beside a signed one would leave the service answering with neither, and
    // updaters that check signatures refuse an unsigned release.
    if (wasSigned && !signing && !dryRun) {
        *error = tr("%1 is signed: publish it with --sign").arg(root);
        return false;
    }
    if (sequence > 0 && !signing) {
        *error = tr("--sequence needs --sign: only the signed listing has a sequence");
        return false;
    }
    if (signing) {
        // Updaters refuse a sequence they have seen already, so a lost number must stop the publish.
        int last = 0;
        Listing previousSigned;
        if (wasSigned && !readSigned(&previousSigned, error))
            return false;
        if (wasSigned)
            last = releaseMember(previousSigned.release, "sequence").toInt();
        else if (QFile::exists(path(listingName)) && sequence <= 0) {
            *error = missingSignedListing(root);
            return false;
        }
        if (sequence > 0 && sequence <= last) {
            *error = tr("--sequence %1 is not above the folder's last signed sequence %2; give --sequence %3 or leave it out")
                         .arg(sequence).arg(last).arg(last + 1);
            return false;
        }
        publication->sequence = sequence > 0 ? sequence : std::max(last, above) + 1;
        publication->expires = QDateTime::currentDateTimeUtc().addDays(expiresInDays);
    }

    std::map<QString, QJsonObject> previous;
    if (QFile::exists(path(listingName))) {
        QJsonArray entries;
        if (!readFiles(&entries, error))
            return false;
        for (const QJsonValue &entry : entries) {
            if (!entry["file_path"].toString().isEmpty())
                previous[entry["file_path"].toString()] = entry.toObject();
        }
    }

    // Sorted by path, the order in which the updater handles the files.
    std::map<QString, QJsonObject> files;
    QStringList needVersion;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relativePath = QDir(root).relativeFilePath(it.next());
        if (resolve(relativePath).isEmpty() || relativePath.startsWith(QString(ReleaseForms::folderName) + "/"))
            continue; // a listing, a form, or a link that leads out of the folder
        bool readable = false;
        const QString digest = QString::fromLatin1(sha256Hex(it.filePath(), &readable));
        if (!readable) {
            *error = tr("cannot read %1").arg(it.filePath());
            return false;
        }
        const qint64 size = it.fileInfo().size();
        const auto listed = previous.find(relativePath);
        const bool same = listed != previous.end() && listed->second["sha256"].toString() == digest
            && qint64(listed->second["file_size"].toDouble(-1)) == size;
        if (!same && version.isEmpty()) {
            needVersion << relativePath;
            continue;
        }
        (same ? publication->unchanged : listed == previous.end() ? publication->added : publication->changed)
            << relativePath;
        files[relativePath] = QJsonObject{
            {"file_path", relativePath},
            {"file_version", same ? listed->second["file_version"].toString() : version},
            {"modified_time", same ? listed->second["modified_time"].toString()
                                   : it.fileInfo().lastModified().toString(modifiedTimeFormat)},
            {"file_size", double(size)},
            {"sha256", digest}};
    }
    if (!needVersion.isEmpty()) {
        *error = tr("new or changed, so they need --version: %1").arg(needVersion.join(", "));
        return false;
    }
    for (const auto &entry : previous) {
        if (files.find(entry.first) == files.end())
            publication->removed << entry.first;
    }
    for (QStringList *paths : {&publication->added, &publication->changed, &publication->unchanged})
        paths->sort();

    QSet<QString> newBytes(publication->added.cbegin(), publication->added.cend());
    newBytes.unite(QSet<QString>(publication->changed.cbegin(), publication->changed.cend()));
    for (const auto &file : files) {
        const QString digest = file.second["sha256"].toString();
        if (!signing || (!newBytes.contains(file.first) && forms.hasCompressedCopy(digest)))
            continue;
        publication->forms.append(ReleaseForms::Report());
        if (!forms.make(file.first, digest, dryRun, &publication->forms.last(), error))
            return false;
    }

    QJsonArray listing;
    for (const auto &file : files)
        listing.append(file.second);
    // Forms are described from what is on disk, so a dry run sizes the reply without them.
    QJsonArray signedFiles = listing;
    if (signing && !dryRun) {
        signedFiles = QJsonArray();
        for (const auto &file : files) {
            QJsonObject entry = file.second;
            if (!forms.describe(entry["sha256"].toString(), &entry, error))
                return false;
            // Taken from the file now, whatever its bytes: the updater gives it to a file it adds.
            if (QFileInfo(root + "/" + file.first).permissions() & QFile::ExeOwner)
                entry["executable"] = true;
            signedFiles.append(entry);
        }
    }
    const QString release = !signing ? QString() : QString::fromUtf8(
        QJsonDocument(QJsonObject{{"sequence", publication->sequence},
                                  {"expires", publication->expires.toString(Qt::ISODate)},
                                  {"files", signedFiles}})
            .toJson(QJsonDocument::Compact));
    // The download URL is the service's to choose; the headroom covers a usual one.
    const QString signatureSpace(ReleaseSigner::signatureHexLength, '0');
    QStringList signatureSpaces;
    for (int i = 0; i < signers.size(); ++i)
        signatureSpaces << signatureSpace;
    if (!replyFits({listing, release, signing ? signatureSpace : QString(), signatureSpaces, QString()}, QString(), error))
        return false;
    if (dryRun)
        return true;
    if (signing) {
        QStringList signatures;
        for (const ReleaseSigner &each : signers)
            signatures << QString::fromStdString(each.sign(release.toStdString()));
        // Updaters before several keys read only the first, and one key writes the file as they did.
        QJsonObject signedListing{{"release", release}, {"release_signature", signatures.constFirst()}};
        if (signatures.size() > 1)
            signedListing.insert("release_signatures", QJsonArray::fromStringList(signatures));
        // The signed listing first: until release.json follows, the service refuses to answer
        // rather than send files and a signature that disagree.
        if (!writeJson(path(signedListingName), signedListing, error))
            return false;
    }
    return writeJson(path(listingName), QJsonObject{{"files", listing}}, error);
}
