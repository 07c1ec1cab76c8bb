#include "service/servicecommand.h"

#include "manifest/versionmanifest.h"
#include "protocol/upgradereply.h"
#include "service/releasefolder.h"
#include "service/releasesigner.h"
#include "service/reportstore.h"
#include "service/rollout.h"
#include "service/servicekeypair.h"
#include "service/statuspage.h"
#include "service/updateserver.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>
#include <QTextStream>
#include <QUrl>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <memory>
#include <pthread.h>
#include <thread>

namespace {

constexpr int usageStatus = 2;

struct Command
{
    const char *name;
    const char *usage;
    int minOperands;
    int maxOperands; // -1: any number
    QList<QCommandLineOption> options;
    QStringList repeatable;
    QStringList required;
    int (*run)(const QCommandLineParser &);
};

QCommandLineOption valued(const QString &name, const QString &fallback = QString())
{
    return QCommandLineOption(name, QString(), QStringLiteral("value"), fallback);
}

int fail(const QString &message)
{
    QTextStream(stderr) << "update-service: " << message << Qt::endl;
    return 1;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
}

// Owner-only before the first byte is written: QSaveFile makes a new file readable by all.
bool writePrivateKey(const QString &path, const std::string &der)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.setPermissions(QFile::ReadOwner | QFile::WriteOwner)
        && file.write(der.data(), qint64(der.size())) == qint64(der.size()) && file.commit();
}

bool readFile(const QString &path, QByteArray *bytes, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = ServiceCommand::tr("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    *bytes = file.readAll();
    return true;
}

int keygen(const QCommandLineParser &arguments)
{
    const QString dir = arguments.positionalArguments().constFirst();
    // RSA for the query's encryption, Ed25519 for signing releases.
    const QString rsaPublic = dir + "/public.hex", rsaPrivate = dir + "/private.der";
    const QString releasePublic = dir + "/release-public.hex", releasePrivate = dir + "/release-private.der";
    const auto present = [](const QString &a, const QString &b) { return int(QFile::exists(a)) + int(QFile::exists(b)); };
    const int rsaPresent = present(rsaPublic, rsaPrivate), releasePresent = present(releasePublic, releasePrivate);
    // A vendor's only copy of a private key must never be overwritten by accident; a folder with
    // one pair gets the other one.
    if (rsaPresent == 1 || releasePresent == 1)
        return fail(ServiceCommand::tr("%1 holds half a key pair; not touching it").arg(dir));
    if (rsaPresent == 2 && releasePresent == 2)
        return fail(ServiceCommand::tr("%1 holds both key pairs already; not replacing them").arg(dir));
    bool bitsOk = false;
    const int bits = arguments.value("rsa-bits").toInt(&bitsOk);
    if (!bitsOk || bits < ServiceKeyPair::recommendedBits || bits > ServiceKeyPair::maxBits)
        return fail(ServiceCommand::tr("--rsa-bits takes a number of bits from %1 to %2")
                        .arg(ServiceKeyPair::recommendedBits)
                        .arg(ServiceKeyPair::maxBits));
    if (!QDir().mkpath(dir))
        return fail(ServiceCommand::tr("cannot create %1").arg(dir));

    if (rsaPresent == 0) {
        const ServiceKeyPair pair = ServiceKeyPair::generate(bits);
        if (!writePrivateKey(rsaPrivate, pair.privateKeyDer())
            || !writeFile(rsaPublic, QByteArray::fromStdString(pair.publicKeyHex() + "\n")))
            return fail(ServiceCommand::tr("cannot write %1 and %2").arg(rsaPrivate, rsaPublic));
        QTextStream(stdout) << ServiceCommand::tr(
                                   "wrote %1 and %2; build the updater with -DUPDATER_PUBLIC_KEY=$(cat %1)")
                                   .arg(rsaPublic, rsaPrivate) << Qt::endl;
    }
    if (releasePresent == 0) {
        const ReleaseSigner signer = ReleaseSigner::generate();
        if (!writePrivateKey(releasePrivate, signer.privateKeyDer())
            || !writeFile(releasePublic, QByteArray::fromStdString(signer.publicKeyHex() + "\n")))
            return fail(ServiceCommand::tr("cannot write %1 and %2").arg(releasePrivate, releasePublic));
        QTextStream(stdout) << ServiceCommand::tr(
                                   "wrote %1 and %2; keep %2 on the build machine and sign with publish --sign")
                                   .arg(releasePublic, releasePrivate) << Qt::endl;
    }
    return 0;
}

// One line a file with what its forms take and what making them took, then what the smallest
// forms save.
void printForms(QTextStream &out, const QList<ReleaseForms::Report> &forms)
{
    qint64 rawTotal = 0, smallestTotal = 0;
    for (const ReleaseForms::Report &file : forms) {
        QStringList patches;
        for (const ReleaseForms::Patch &patch : file.patches)
            patches << (patch.executable ? ServiceCommand::tr("executable-aware patch %1 from %2, the form that wins")
                                         : ServiceCommand::tr("patch %1 from %2"))
                           .arg(QString::number(patch.size), patch.baseFolders.join(", "));
        // In one arg(): a path holding "%2" must not take the place of what follows.
        out << "  " << ServiceCommand::tr("forms of %1: %2 bytes, compressed %3%4; %5 s, peak memory %6")
                           .arg(file.path, QString::number(file.size), QString::number(file.compressedSize),
                                patches.isEmpty() ? QString() : ", " + patches.join(", "),
                                QString::number(file.milliseconds / 1000.0, 'f', 2),
                                file.peakMemory < 0 ? ServiceCommand::tr("unknown")
                                                    : ServiceCommand::tr("%1 MiB").arg(file.peakMemory / 1048576.0, 0, 'f', 1))
            << Qt::endl;
        for (const QString &note : file.notes)
            out << "    " << note << Qt::endl;
        rawTotal += file.size;
        smallestTotal += file.smallest();
    }
    if (!forms.isEmpty())
        out << ServiceCommand::tr("forms: %1 files of %2 bytes; their smallest forms take %3 bytes")
                   .arg(forms.size())
                   .arg(rawTotal)
                   .arg(smallestTotal)
            << Qt::endl;
}

// The highest signed sequence of the releases a rollout file names besides the one published,
// and which they are, so that the stable release goes above a rollout its users may hold.
bool sequenceAboveRollout(const QString &rolloutPath, const QString &releaseDir, int *above, QStringList *which,
                          QString *error)
{
    Rollout rollout;
    if (!rollout.read(rolloutPath, error)) {
        *error += ServiceCommand::tr("; mend it, or publish without --rollout");
        return false;
    }
    const QString self = QFileInfo(releaseDir).canonicalFilePath();
    for (const Rollout::Release &other : rollout.releases()) {
        if (QFileInfo(other.dir).canonicalFilePath() == self)
            continue; // its own last sequence counts anyway
        ReleaseFolder::Listing listing;
        QString reason = ServiceCommand::tr("the folder does not exist");
        if (!ReleaseFolder(other.dir).exists() || !ReleaseFolder(other.dir).readListing(&listing, &reason)) {
            *error = ServiceCommand::tr("cannot tell the signed sequence of %1 (%2) that %3 names: %4; publish it "
                                        "with update-service publish %2 --sign, or take it out of %3")
                         .arg(other.name, other.dir, rolloutPath, reason);
            return false;
        }
        const int sequence = ReleaseFolder::sequenceOf(listing);
        *above = std::max(*above, sequence);
        *which << ServiceCommand::tr("%1 (%2) at sequence %3").arg(other.name, other.dir).arg(sequence);
    }
    return true;
}

int publish(const QCommandLineParser &arguments)
{
    const QString releaseDir = arguments.positionalArguments().constFirst();
    QList<ReleaseSigner> signers;
    QString error;
    for (const QString &keyPath : arguments.values("sign")) {
        QByteArray der;
        if (!readFile(keyPath, &der, &error))
            return fail(error);
        signers << ReleaseSigner::fromPrivateKeyDer(der.toStdString());
        if (!signers.last().isValid())
            return fail(ServiceCommand::tr("%1 is not an Ed25519 private key (PKCS#8 DER)").arg(keyPath));
    }
    bool daysOk = false;
    const int days = arguments.value("expires-in").toInt(&daysOk);
    if (!daysOk || days < 1)
        return fail(ServiceCommand::tr("--expires-in takes a number of days, not %1").arg(arguments.value("expires-in")));

    ReleaseForms::Options forms;
    forms.deltaFrom = arguments.values("delta-from");
    bool limitOk = true;
    if (arguments.isSet("patch-limit"))
        forms.patchLimit = arguments.value("patch-limit").toLongLong(&limitOk);
    if (!limitOk)
        return fail(ServiceCommand::tr("--patch-limit takes a number of bytes, not %1").arg(arguments.value("patch-limit")));

    bool sequenceOk = true;
    const int sequence = arguments.isSet("sequence") ? arguments.value("sequence").toInt(&sequenceOk) : 0;
    if (!sequenceOk || (arguments.isSet("sequence") && sequence < 1))
        return fail(ServiceCommand::tr("--sequence takes a whole number from 1, not %1").arg(arguments.value("sequence")));

    int above = 0;
    QStringList aboveWhich;
    if (arguments.isSet("rollout")) {
        if (signers.isEmpty())
            return fail(ServiceCommand::tr("--rollout needs --sign: only the signed listing has a sequence"));
        if (!sequenceAboveRollout(arguments.value("rollout"), releaseDir, &above, &aboveWhich, &error))
            return fail(error);
        if (sequence > 0 && sequence <= above)
            return fail(ServiceCommand::tr("--sequence %1 is not above the releases %2 names (%3); give --sequence %4 "
                                           "or leave it out")
                            .arg(sequence)
                            .arg(arguments.value("rollout"), aboveWhich.join(", "))
                            .arg(above + 1));
    }

    const bool dryRun = arguments.isSet("dry-run");
    ReleaseFolder::Publication publication;
    if (!ReleaseFolder(releaseDir).publish(arguments.value("version"), signers, sequence, above, days, dryRun, forms,
                                           &publication, &error))
        return fail(error);

    QTextStream out(stdout);
    out << (dryRun ? ServiceCommand::tr("would publish %1: %2 new, %3 changed, %4 unchanged, %5 removed")
                   : ServiceCommand::tr("published %1: %2 new, %3 changed, %4 unchanged, %5 removed"))
               .arg(releaseDir)
               .arg(publication.added.size())
               .arg(publication.changed.size())
               .arg(publication.unchanged.size())
               .arg(publication.removed.size())
        << Qt::endl;
    const QList<QPair<QString, QStringList>> lists{{ServiceCommand::tr("new"), publication.added},
                                                   {ServiceCommand::tr("changed"), publication.changed},
                                                   {ServiceCommand::tr("removed"), publication.removed}};
    for (const auto &list : lists) {
        for (const QString &path : list.second)
            out << "  " << list.first << ": " << path << Qt::endl;
    }
    printForms(out, publication.forms);
    if (publication.sequence > 0)
        out << (dryRun ? ServiceCommand::tr("would sign it as sequence %1, expiring %2")
                       : ServiceCommand::tr("signed as sequence %1, expiring %2"))
                   .arg(publication.sequence)
                   .arg(publication.expires.toString(Qt::ISODate))
            << Qt::endl;
    if (arguments.isSet("rollout"))
        out << "  " << (aboveWhich.isEmpty() ? ServiceCommand::tr("%1 names no other release").arg(arguments.value("rollout"))
                                             : ServiceCommand::tr("above the releases %1 names: %2")
                                                   .arg(arguments.value("rollout"), aboveWhich.join(", ")))
            << Qt::endl;
    return 0;
}

// The Ed25519 public keys of --release-key: each a release-public.hex file or the hex itself.
bool readReleaseKeys(const QStringList &values, QStringList *keys, QString *error)
{
    const QRegularExpression hexKey(QString("^[0-9A-Fa-f]{%1}$").arg(ReleaseSigner::publicKeyHexLength));
    for (const QString &value : values) {
        for (const QString &item : value.split(',', Qt::SkipEmptyParts)) {
            QByteArray text = item.toLatin1();
            if (!hexKey.match(item).hasMatch() && !readFile(item, &text, error))
                return false;
            if (!hexKey.match(QString::fromLatin1(text.trimmed())).hasMatch()) {
                *error = ServiceCommand::tr("%1 is not an Ed25519 public key (%2 hex characters)")
                             .arg(item).arg(ReleaseSigner::publicKeyHexLength);
                return false;
            }
            keys->append(QString::fromLatin1(text.trimmed()));
        }
    }
    return true;
}

// The rollout file and every release it names, checked as the stable one is. An updater never takes
// a sequence below the one it has, so a rollout signed below the stable release would reach nobody;
// halted, it is dropped instead, which gives its users the stable release again. Notes say what was
// dropped.
std::shared_ptr<const Rollout> readRollout(const QString &path, const QStringList &releaseKeys, int stableSequence,
                                           QStringList *notes, QString *error)
{
    auto rollout = std::make_shared<Rollout>();
    if (!rollout->read(path, error))
        return nullptr;
    // A halt its rule pressed holds for as long as the file is the one it halted.
    QFile side(Rollout::haltFileOf(path));
    if (side.open(QIODevice::ReadOnly)) {
        const QJsonObject halt = QJsonDocument::fromJson(side.readAll()).object();
        if (halt.value("rollout_sha256").toString() == QString::fromLatin1(rollout->fileDigest().toHex())) {
            rollout->halt();
            *notes << ServiceCommand::tr("rollout stays halted by its rule since %1 (%2); change %3 to lift it")
                          .arg(halt.value("halted").toString(), halt.value("reason").toString(), path);
        }
    }
    bool drop = false;
    for (const Rollout::Release &release : rollout->releases()) {
        ReleaseFolder::Listing listing;
        if (!ReleaseFolder::readChecked(release.dir, releaseKeys, release.downloadUrl, &listing, error))
            return nullptr;
        const int sequence = ReleaseFolder::sequenceOf(listing);
        if (release.name != Rollout::rolloutName || stableSequence <= 0 || sequence > stableSequence)
            continue;
        if (rollout->halted()) {
            *notes << ServiceCommand::tr("rollout of %1 dropped: it is halted, and its signed sequence %2 is not above "
                                         "the stable release's %3")
                          .arg(release.dir)
                          .arg(sequence)
                          .arg(stableSequence);
            drop = true;
            continue;
        }
        *error = ServiceCommand::tr("the rollout's signed sequence %1 is not above the stable release's %2; sign it "
                                    "above with update-service publish %3 --sign release-private.der --sequence %4, "
                                    "or halt it with \"percent\": 0")
                     .arg(sequence)
                     .arg(stableSequence)
                     .arg(release.dir)
                     .arg(stableSequence + 1);
        return nullptr;
    }
    if (drop)
        rollout->dropRollout();
    return rollout;
}

int serve(const QCommandLineParser &arguments)
{
    const QString releaseDir = arguments.value("release");
    QString error;
    QStringList releaseKeys;
    ReleaseFolder::Listing listing;
    if (!readReleaseKeys(arguments.values("release-key"), &releaseKeys, &error)
        || !ReleaseFolder::readChecked(releaseDir, releaseKeys, arguments.value("download-url"), &listing, &error))
        return fail(error);
    const int stableSequence = ReleaseFolder::sequenceOf(listing);
    const QString rolloutPath = arguments.value("rollout");
    std::shared_ptr<const Rollout> rollout;
    QStringList rolloutNotes;
    if (!rolloutPath.isEmpty()
        && !(rollout = readRollout(rolloutPath, releaseKeys, stableSequence, &rolloutNotes, &error)))
        return fail(error);

    QByteArray der;
    if (!readFile(arguments.value("key"), &der, &error))
        return fail(error);
    const ServiceKeyPair pair = ServiceKeyPair::fromPrivateKeyDer(der.toStdString());
    if (!pair.isValid())
        return fail(ServiceCommand::tr("%1 is not an RSA private key (PKCS#8 DER)").arg(arguments.value("key")));
    if (pair.bits() < ServiceKeyPair::minimumBits)
        return fail(ServiceCommand::tr("%1 is an RSA key of %2 bits; make one of %3 or more with keygen")
                        .arg(arguments.value("key"))
                        .arg(pair.bits())
                        .arg(ServiceKeyPair::recommendedBits));

    // Blocked before any thread starts, so that only the thread waiting for it ever sees it.
    sigset_t hangUp;
    sigemptyset(&hangUp);
    sigaddset(&hangUp, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &hangUp, nullptr);

    UpdateServer server(releaseDir, pair);
    server.setReleaseKeys(releaseKeys);
    if (arguments.isSet("tokens")) {
        QSet<QString> tokens;
        if (!Rollout::readTokenList(arguments.value("tokens"), &tokens, &error))
            return fail(error);
        server.setAcceptedTokens(tokens);
    }
    if (arguments.isSet("download-url"))
        server.setDownloadUrl(arguments.value("download-url"));
    server.setRollout(rollout);
    bool countOk = false;
    const int perAddress = arguments.value("max-per-address").toInt(&countOk);
    if (!countOk || perAddress < 1 || perAddress > BoundedHttpServer::maxConnections)
        return fail(ServiceCommand::tr("--max-per-address takes a number from 1 to %1")
                        .arg(BoundedHttpServer::maxConnections));
    server.setMaxConnectionsPerAddress(perAddress);
    if (arguments.isSet("log") && !server.openLogFile(arguments.value("log")))
        return fail(server.errorString());
    bool daysOk = false;
    const int keepDays = arguments.value("keep-reports").toInt(&daysOk);
    if (!daysOk || keepDays < 1)
        return fail(ServiceCommand::tr("--keep-reports takes a number of days from 1"));
    ReportStore reports;
    if (arguments.isSet("reports")) {
        if (!reports.open(arguments.value("reports"), keepDays) || !reports.prune(QDateTime::currentDateTimeUtc()))
            return fail(reports.errorString());
        server.setReports(&reports, rolloutPath);
    }

    const QString listen = arguments.value("listen");
    const int colon = listen.lastIndexOf(':');
    bool portOk = false;
    const int port = listen.mid(colon + 1).toInt(&portOk);
    if (colon <= 0 || !portOk || port < 0 || port > 65535)
        return fail(ServiceCommand::tr("--listen takes ADDR:PORT, not %1").arg(listen));
    const QString host = listen.left(colon);
    const int bound = server.bind(host, port);
    if (bound < 0)
        return fail(ServiceCommand::tr("cannot listen on %1: %2").arg(listen, server.errorString()));
    // One line, which scripts and tests count on.
    server.log((listing.release.isEmpty()
                    ? ServiceCommand::tr("serving %1: %2 files, not signed").arg(releaseDir).arg(listing.files.size())
                    : ServiceCommand::tr("serving %1: %2 files, signed sequence %3, expiring %4")
                          .arg(releaseDir)
                          .arg(listing.files.size())
                          .arg(stableSequence)
                          .arg(ReleaseFolder::releaseMember(listing.release, "expires").toString()))
               + (pair.bits() >= ServiceKeyPair::recommendedBits
                      ? QString()
                      : ServiceCommand::tr("; warning: the query's RSA key has %1 bits, fit for demos only: "
                                           "make a pair of %2 bits or more with keygen")
                            .arg(pair.bits())
                            .arg(ServiceKeyPair::recommendedBits)));
    for (const QString &note : rolloutNotes)
        server.log(note);
    if (rollout)
        server.log(ServiceCommand::tr("rollout from %1: %2").arg(rolloutPath, rollout->summary()));

    std::unique_ptr<StatusPage> status;
    if (arguments.isSet("status-listen")) {
        QByteArray token;
        if (!arguments.isSet("reports") || !arguments.isSet("status-token"))
            return fail(ServiceCommand::tr("--status-listen needs --reports and --status-token FILE"));
        if (!readFile(arguments.value("status-token"), &token, &error))
            return fail(error);
        if (token.trimmed().size() < 16)
            return fail(ServiceCommand::tr("%1 holds no token of 16 characters or more").arg(arguments.value("status-token")));
        // A bare port is on loopback: the page is the vendor's, not the world's.
        const QString statusListen = arguments.value("status-listen");
        const int statusColon = statusListen.lastIndexOf(':');
        bool statusPortOk = false;
        const int statusPort = statusListen.mid(statusColon + 1).toInt(&statusPortOk);
        const QString statusHost = statusColon < 0 ? QString("127.0.0.1") : statusListen.left(statusColon);
        if (statusColon == 0 || !statusPortOk || statusPort < 0 || statusPort > 65535)
            return fail(ServiceCommand::tr("--status-listen takes [ADDR:]PORT, not %1").arg(statusListen));
        status = std::make_unique<StatusPage>(&reports, QString::fromUtf8(token.trimmed()), rolloutPath,
                                              [&server] { return server.currentRollout(); });
        const int statusBound = status->bind(statusHost, statusPort);
        if (statusBound < 0)
            return fail(ServiceCommand::tr("cannot listen on %1 for the status page").arg(statusListen));
        server.log(ServiceCommand::tr("status page on %1:%2").arg(statusHost).arg(statusBound));
        std::thread([&status] { status->listen(); }).detach();
    }

    // The share can be widened or halted without a restart: a hang-up reads the rollout file again.
    // A file that does not check out leaves the last good one in force.
    std::thread([&server, rolloutPath, releaseKeys, hangUp] {
        for (;;) {
            int signal = 0;
            if (sigwait(&hangUp, &signal) != 0)
                return;
            QString reason;
            QStringList notes;
            if (rolloutPath.isEmpty()) {
                server.log(ServiceCommand::tr("hang-up: no --rollout file to read"));
            } else if (auto next = readRollout(rolloutPath, releaseKeys, server.stableSequence(), &notes, &reason)) {
                for (const QString &note : notes)
                    server.log(note);
                server.log(ServiceCommand::tr("rollout read again: %1").arg(next->summary()));
                server.setRollout(next);
            } else {
                server.log(ServiceCommand::tr("rollout not read again, the last one stays: %1").arg(reason));
            }
        }
    }).detach();

    // Tests and scripts read the port from this line, so it must leave at once.
    std::printf("listening on %s:%d\n", qPrintable(host), bound);
    std::fflush(stdout);
    server.listen();
    return fail(ServiceCommand::tr("cannot serve on %1").arg(listen));
}

int writeManifest(const QCommandLineParser &arguments)
{
    const QString file = arguments.positionalArguments().constFirst();
    VersionManifest manifest;
    // The release as listed, so that only what differs needs typing.
    if (arguments.isSet("from")) {
        QString error;
        QByteArray text;
        if (!readFile(arguments.value("from"), &text, &error))
            return fail(error);
        const QJsonValue files = QJsonDocument::fromJson(text).object().value("files");
        if (!files.isArray())
            return fail(ServiceCommand::tr("%1 holds no \"files\" array").arg(arguments.value("from")));
        for (const QJsonValue &entry : files.toArray()) {
            const QString path = entry["file_path"].toString(), version = entry["file_version"].toString();
            if (path.isEmpty() || !ReleaseFolder::isVersion(version))
                return fail(ServiceCommand::tr("%1 lists an entry without a path and an X.Y.Z version")
                                .arg(arguments.value("from")));
            manifest.insert(path, VersionEntry(version, path));
        }
    }
    QSet<QString> given;
    for (const QString &operand : arguments.positionalArguments().mid(1)) {
        const int equals = operand.lastIndexOf('=');
        const QString path = operand.left(equals), version = operand.mid(equals + 1);
        if (equals <= 0 || !ReleaseFolder::isVersion(version))
            return fail(ServiceCommand::tr("%1 is not PATH=X.Y.Z").arg(operand));
        if (given.contains(path))
            return fail(ServiceCommand::tr("%1 is given twice").arg(path));
        given.insert(path);
        manifest.insert(path, VersionEntry(version, path));
    }
    if (!Manifest::writeTextFile(Manifest::versionManifestToXml(manifest), file))
        return fail(ServiceCommand::tr("cannot write %1").arg(file));
    QTextStream(stdout) << ServiceCommand::tr("wrote %1: %2 files").arg(file).arg(manifest.size()) << Qt::endl;
    return 0;
}

const QList<Command> &commands()
{
    static const QList<Command> list{
        {"keygen",
         QT_TRANSLATE_NOOP("ServiceCommand",
                           "update-service keygen DIR [--rsa-bits N]\n"
                           "    Writes the RSA pair of the query (public.hex, private.der; 3072 bits, or N from\n"
                           "    2048) and the Ed25519 pair that signs releases (release-public.hex,\n"
                           "    release-private.der); never replaces a key already there.\n"),
         1, 1, {valued("rsa-bits", QString::number(ServiceKeyPair::defaultBits))}, {}, {}, keygen},
        {"publish",
         QT_TRANSLATE_NOOP("ServiceCommand",
                           "update-service publish RELEASE-DIR [--version X.Y.Z] [--sign release-private.der]...\n"
                           "                       [--expires-in DAYS] [--delta-from OLD-DIR]... [--patch-limit BYTES]\n"
                           "                       [--sequence N] [--rollout FILE] [--dry-run]\n"
                           "    Lists the folder's files by content in release.json: new and changed files take\n"
                           "    --version, unchanged ones keep their version and time. --sign also writes the\n"
                           "    signed listing, release-signed.json, valid for DAYS (30), signed by each key given,\n"
                           "    and gives new and changed files a compressed copy in .trelvox-forms/ when smaller\n"
                           "    and patches from their copies in each OLD-DIR when no larger than BYTES (1 GiB);\n"
                           "    the signed listing names them. Its sequence continues the folder's\n"
                           "    release-signed.json, and goes above every other release the rollout FILE names;\n"
                           "    --sequence N sets it (above the last), as it must when that file did not come with\n"
                           "    the folder. --dry-run writes nothing.\n"),
         1, 1, {valued("version"), valued("sign"), valued("expires-in", "30"), valued("delta-from"),
                valued("patch-limit"), valued("sequence"), valued("rollout"), QCommandLineOption("dry-run")},
         {"delta-from", "sign"}, {}, publish},
        {"serve",
         QT_TRANSLATE_NOOP("ServiceCommand",
                           "update-service serve --release DIR --key private.der [--listen ADDR:PORT]\n"
                           "                     [--download-url URL] [--tokens FILE] [--log FILE]\n"
                           "                     [--release-key release-public.hex[,...]]... [--max-per-address N]\n"
                           "                     [--rollout FILE] [--reports FILE|postgresql://...]\n"
                           "                     [--keep-reports DAYS] [--status-listen [ADDR:]PORT --status-token FILE]\n"
                           "    Answers the upgrade query at /api/upgrade and serves the files under /files/.\n"
                           "    --release-key refuses to start unless the signed listing verifies under it.\n"
                           "    --rollout offers other releases to a share of users and to channels; a SIGHUP\n"
                           "    reads it again. --reports asks updaters for a report on each run and keeps them\n"
                           "    in the SQLite FILE or the PostgreSQL database, each for DAYS (30), their counts\n"
                           "    for good; a rollout's \"halt\" rule is then checked with every report.\n"
                           "    --status-listen serves a status page of the reports (on loopback for a bare port)\n"
                           "    to requests that carry the token in FILE as ?token= or Authorization: Bearer.\n"),
         0, 0, {valued("release"), valued("key"), valued("listen", "127.0.0.1:8094"), valued("download-url"),
                valued("tokens"), valued("log"), valued("release-key"),
                valued("max-per-address", QString::number(BoundedHttpServer::defaultMaxPerAddress)),
                valued("rollout"), valued("reports"), valued("keep-reports", "30"),
                valued("status-listen"), valued("status-token")},
         {"release-key"}, {"release", "key"}, serve},
        {"write-manifest",
         QT_TRANSLATE_NOOP("ServiceCommand",
                           "update-service write-manifest FILE [--from release.json] PATH=X.Y.Z...\n"
                           "    Writes a version.xml as the updater does, listing each PATH with its version;\n"
                           "    --from starts from the files a listing names, and PATH=X.Y.Z then overrides.\n"),
         1, -1, {valued("from")}, {}, {}, writeManifest},
    };
    return list;
}

int usage(const Command *command, bool asked)
{
    QTextStream out(asked ? stdout : stderr);
    out << ServiceCommand::tr("usage:") << '\n';
    for (const Command &each : commands()) {
        if (!command || command == &each)
            out << ServiceCommand::tr(each.usage);
    }
    return asked ? 0 : usageStatus;
}

int refuse(const Command *command, const QString &reason)
{
    QTextStream(stderr) << "update-service: " << reason << Qt::endl;
    return usage(command, false);
}

// The word that named an unknown option, as typed: "-xyz" for the parser's "x", "--sgn=k" for "sgn".
int unknownOptionAt(const QStringList &words, const QString &name)
{
    for (int i = 0; i < words.size(); ++i) {
        const QString &word = words[i];
        if (word.startsWith("--") ? word.mid(2).section('=', 0, 0) == name
                                  : word.startsWith('-') && word.mid(1).contains(name))
            return i;
    }
    return -1;
}

} // namespace

int ServiceCommand::run(const QStringList &arguments)
{
    const QString name = arguments.value(1);
    if (name == "--help" || name == "-h")
        return usage(nullptr, true);
    const Command *command = nullptr;
    for (const Command &each : commands()) {
        if (name == each.name)
            command = &each;
    }
    if (!command)
        return refuse(nullptr, name.isEmpty() ? tr("no command given") : tr("unknown command %1").arg(name));

    // The usage texts are written by hand, so the parser adds no help of its own and its messages
    // are replaced by ours.
    const QCommandLineOption help(QStringList{"h", "help"});
    QCommandLineParser parsed;
    parsed.addOption(help);
    parsed.addOptions(command->options);
    const QStringList words = arguments.mid(2);
    const bool understood = parsed.parse(QStringList{arguments.value(0)} + words);
    const QStringList unknown = parsed.unknownOptionNames();
    const int unknownAt = unknown.isEmpty() ? -1 : unknownOptionAt(words, unknown.constFirst());
    // Whichever comes first wins, a request for help or a word not understood (a missing value is last).
    const int errorAt = unknownAt >= 0 ? unknownAt : int(words.size()) - 1;
    const int helpAt = int(std::find_if(words.cbegin(), words.cend(),
                                        [](const QString &word) { return word == "--help" || word == "-h"; })
                           - words.cbegin());
    if (parsed.isSet(help) && (understood || helpAt < errorAt))
        return usage(command, true);
    if (unknownAt >= 0)
        // Also an operand that only looks like an option: "keygen --hlep" must not make a folder.
        return refuse(command, tr("unknown option %1").arg(words[unknownAt]));
    if (!understood) {
        for (const QCommandLineOption &option : command->options) {
            if (!option.valueName().isEmpty() && words.constLast() == "--" + option.names().constFirst())
                return refuse(command, tr("%1 needs a value").arg(words.constLast()));
        }
        return refuse(command, parsed.errorText());
    }
    for (const QCommandLineOption &option : command->options) {
        const QString optionName = option.names().constFirst();
        if (parsed.values(optionName).size() > 1 && !command->repeatable.contains(optionName))
            return refuse(command, tr("%1 is given twice").arg("--" + optionName));
    }
    const int operands = parsed.positionalArguments().size();
    if (operands < command->minOperands || (command->maxOperands >= 0 && operands > command->maxOperands))
        return refuse(command, tr("%1 takes %2").arg(command->name, tr(command->usage).section('\n', 0, 0)));
    if (command->run == writeManifest && operands < 2 && !parsed.isSet("from"))
        return refuse(command, tr("%1 takes %2").arg(command->name, tr(command->usage).section('\n', 0, 0)));
    for (const QString &option : command->required) {
        if (!parsed.isSet(option))
            return refuse(command, tr("%1 is required").arg("--" + option));
    }
    return command->run(parsed);
}
