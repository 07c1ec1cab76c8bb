#include <QtTest>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cryptopp/osrng.h>
#include <cryptopp/xed25519.h>
#include <mutex>
#include <sys/resource.h>
#include <zstd.h>

#include "app/updaterenvironment.h"
#include "app/updatewindow.h"
#include "manifest/versionmanifest.h"
#include "protocol/payloadcrypto.h"
#include "protocol/signedrelease.h"
#include "service/patchmaker.h"
#include "service/servicekeypair.h"
#include "tests/support/releaseservice.h"
#include "tests/support/loopbackserver.h"
#include "tests/support/messageboxanswerer.h"
#include "tests/support/testfiles.h"
#include "tests/support/testenvironment.h"

// Signed release listings: what the updater accepts, and whole runs against a service that lies.
namespace {

struct Signer
{
    CryptoPP::AutoSeededRandomPool random;
    CryptoPP::ed25519Signer key{random};

    QByteArray publicKey() const
    {
        const auto &privateKey = static_cast<const CryptoPP::ed25519PrivateKey &>(key.GetPrivateKey());
        return QByteArray(reinterpret_cast<const char *>(privateKey.GetPublicKeyBytePtr()), 32);
    }
    QString sign(const QString &text)
    {
        const QByteArray message = text.toUtf8();
        QByteArray signature(64, Qt::Uninitialized);
        key.SignMessage(random, reinterpret_cast<const CryptoPP::byte *>(message.constData()), size_t(message.size()),
                        reinterpret_cast<CryptoPP::byte *>(signature.data()));
        return QString::fromLatin1(signature.toHex());
    }
};

const QByteArray newA = "new a\n";

// Listing a.txt 2.0.0 as newA; a Null value among the changes removes that member.
QString listing(qint64 sequence, const QString &expires, const QJsonObject &changes = {}, const QJsonObject &fileChanges = {})
{
    QJsonObject file{{"file_path", "a.txt"}, {"file_version", "2.0.0"}, {"modified_time", "2020-01-01T00:00:00"},
                     {"file_size", newA.size()},
                     {"sha256", QString(QCryptographicHash::hash(newA, QCryptographicHash::Sha256).toHex())}};
    QJsonObject release{{"sequence", sequence}, {"expires", expires}};
    for (auto [target, change] : {std::pair{&file, &fileChanges}, std::pair{&release, &changes}}) {
        for (auto it = change->begin(); it != change->end(); ++it)
            if (it.value().isNull())
                target->remove(it.key());
            else
                target->insert(it.key(), it.value());
    }
    release.insert("files", release.contains("files") ? release.value("files") : QJsonArray{file});
    return QString::fromUtf8(QJsonDocument(release).toJson(QJsonDocument::Compact));
}

QString utcIn(int seconds)
{
    return QDateTime::currentDateTimeUtc().addSecs(seconds).toString("yyyy-MM-ddThh:mm:ss'Z'");
}

} // namespace

class tst_signedrelease : public QObject
{
    Q_OBJECT

private slots:
    void verification_data();
    void verification();
    void attacks_data();
    void attacks();
    void fallback_data();
    void fallback();
    void wholeRelease_data();
    void wholeRelease();

private:
    QStringList runAgainst(const QString &install, QJsonObject reply, const QString &tamper,
                           const QMap<QString, QByteArray> &files, QStringList *requested);

    Signer first, second, unknown;
};

void tst_signedrelease::verification_data()
{
    QTest::addColumn<QString>("release");
    QTest::addColumn<QString>("signature"); // null: the trusted key's
    QTest::addColumn<qint64>("lastSequence");
    QTest::addColumn<QString>("refusal"); // part of errorString(); empty: accepted

    const QString july = "2025-07-01T00:00:00Z";
    const QString bad = "is malformed: ";
    const QString none;
    const QJsonValue gone = QJsonValue::Null;
    QTest::newRow("valid") << listing(5, july) << none << qint64(0) << "";
    const QString digest(64, 'b');
    const QJsonObject compressed{{"path", ".trelvox-forms/b.zst"}, {"size", 9007199254740991.0}, {"sha256", digest}};
    const QJsonObject patch{{"path", ".trelvox-forms/c-b.patch"}, {"size", 0}, {"sha256", digest}, {"base_sha256", digest}};
    QTest::newRow("with a compressed copy and patches")
        << listing(5, july, {}, {{"compressed", compressed}, {"patches", QJsonArray{patch, patch}}}) << none << qint64(0) << "";
    QTest::newRow("same sequence as installed") << listing(5, july) << none << qint64(5) << "";
    QTest::newRow("lower sequence") << listing(5, july) << none << qint64(6) << "(sequence 5) is older than the release already installed (sequence 6)";
    QTest::newRow("expires this second") << listing(5, "2025-06-01T12:00:00Z") << none << qint64(0) << "expired at 2025-06-01T12:00:00Z UTC";
    QTest::newRow("signature of 127 characters") << listing(5, july) << QString(127, 'a') << qint64(0) << "not signed by a trusted";
    QTest::newRow("signature not hex") << listing(5, july) << QString(128, 'x') << qint64(0) << "not signed by a trusted";
    QTest::newRow("no listing") << "" << QString(128, 'a') << qint64(0) << "sent no signed release listing";
    QTest::newRow("not an object") << "[1]" << none << qint64(0) << bad + "it is not a JSON object";
    for (const QJsonValue &sequence : {QJsonValue(0), QJsonValue(1.5), QJsonValue("5"), gone})
        QTest::addRow("sequence %s", qPrintable(QJsonDocument(QJsonArray{sequence}).toJson(QJsonDocument::Compact)))
            << listing(5, july, {{"sequence", sequence}}) << none << qint64(0) << bad + "\"sequence\"";
    for (const QString expires : {"2025-07-01T00:00:00", "2025-07-01T00:00:00+00:00", "2025-02-30T00:00:00Z", ""})
        QTest::addRow("expires '%s'", qPrintable(expires)) << listing(5, expires) << none << qint64(0) << bad + "\"expires\"";
    QTest::newRow("files not an array") << listing(5, july, {{"files", "a.txt"}}) << none << qint64(0) << bad + "\"files\"";
    const QList<QPair<QString, QJsonValue>> badMembers{
        {"file_path", gone}, {"file_version", 2}, {"modified_time", "2020-01-01 00:00:00"}, {"file_size", -1},
        {"file_size", 6.5}, {"file_size", "6"}, {"sha256", QString(64, 'A')}, {"sha256", QString(63, 'a')}};
    for (const auto &[member, value] : badMembers)
        QTest::addRow("%s %s", qPrintable(member), qPrintable(QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact)))
            << listing(5, july, {}, {{member, value}}) << none << qint64(0) << "\"" + member + "\"";

    // Written as text: QJsonDocument would neither write these nor tell them apart when reading.
    const QString valid = listing(5, july);
    const QString sequence = "\"sequence\":5";
    QTest::newRow("largest exact sequence, read exactly")
        << QString(valid).replace(sequence, "\"sequence\":9007199254740991") << none << qint64(9007199254740992)
        << "(sequence 9007199254740991) is older than the release already installed (sequence 9007199254740992)";
    for (const char *number : {"9007199254740992", "18446744073709551621", "1e2", "5.0", "-0"})
        QTest::addRow("sequence %s", number) << QString(valid).replace(sequence, "\"sequence\":" + QString(number)) << none
                                             << qint64(0) << bad + "\"sequence\" is not a whole number of at most 9007199254740991: " + number;
    QTest::newRow("file_size 6E0") << QString(valid).replace("\"file_size\":6", "\"file_size\":6E0") << none << qint64(0)
                                   << bad + "\"file_size\" is not a whole number of at most 9007199254740991: 6E0";
    QTest::newRow("key twice") << QString(valid).replace(sequence, sequence + ",\"sequence\":9") << none << qint64(0)
                               << bad + "the key \"sequence\" appears twice in one object";
    QTest::newRow("key twice, once escaped") << QString(valid).replace(sequence, sequence + ",\"sequenc\\u0065\":9") << none
                                             << qint64(0) << bad + "the key \"sequence\" appears twice";
    QTest::newRow("key twice in a file") << QString(valid).replace("\"file_version\"", "\"file_version\":\"9\",\"file_version\"")
                                         << none << qint64(0) << bad + "the key \"file_version\" appears twice";
    const int file = valid.indexOf("{\"file_path\"");
    const QString fileText = valid.mid(file, valid.indexOf('}', file) + 1 - file);
    for (const char *path : {"a.txt", "A.TXT"})
        QTest::addRow("files a.txt and %s", path)
            << QString(valid).replace(fileText, fileText + "," + QString(fileText).replace("a.txt", path)) << none << qint64(0)
            << bad + "file " + path + " is listed twice, letter case aside";
}

void tst_signedrelease::verification()
{
    QFETCH(QString, release);
    QFETCH(QString, signature);
    QFETCH(qint64, lastSequence);
    QFETCH(QString, refusal);

    // Keys of the wrong length or off the curve are passed over, not trusted or thrown at.
    const QList<QByteArray> keys{QByteArray(31, 'k'), QByteArray(32, '\xff'), first.publicKey()};
    const QDateTime now(QDate(2025, 6, 1), QTime(12, 0), Qt::UTC);
    SignedRelease verified;
    QCOMPARE(verified.verify(release, signature.isNull() ? first.sign(release) : signature, keys, now, lastSequence),
             refusal.isEmpty());
    QVERIFY2(verified.errorString().contains(refusal), qPrintable(verified.errorString()));
    if (!refusal.isEmpty())
        return;
    QCOMPARE(verified.sequence(), qint64(5));
    QCOMPARE(verified.expires(), QDateTime(QDate(2025, 7, 1), QTime(0, 0), Qt::UTC));
    QCOMPARE(verified.files().keys(), QStringList{"a.txt"});
    QCOMPARE(verified.files()["a.txt"].entry.version, QString("2.0.0"));
    QCOMPARE(verified.files()["a.txt"].modifiedTime, QDateTime(QDate(2020, 1, 1), QTime(0, 0)));
    QCOMPARE(verified.content("a.txt")->size, qint64(6));
    QCOMPARE(verified.content("a.txt")->sha256, QCryptographicHash::hash(newA, QCryptographicHash::Sha256));
}

void tst_signedrelease::attacks_data()
{
    // first or second (both trusted), unknown, or none: no listing sent; several, comma-separated, sign
    // it each, the first in "release_signature" as well
    QTest::addColumn<QString>("signer");
    // "listing": one character altered after signing; "signature": stripped; "no mac": the reply has no
    // "reply_mac"; "flip": a bit of the first ciphertext block flipped; "url X": download_url X
    QTest::addColumn<QString>("tamper");
    QTest::addColumn<qint64>("sequence");
    QTest::addColumn<int>("expiresIn"); // seconds
    QTest::addColumn<qint64>("lastSequence"); // in release.state before the run; 0: no file
    QTest::addColumn<QByteArray>("served"); // a.txt's bytes on the way; "endless": without end; "current": installed already
    QTest::addColumn<QStringList>("replyFiles"); // the reply's own "files"
    QTest::addColumn<bool>("trusting"); // the updater trusts the two keys; otherwise none
    QTest::addColumn<QString>("box"); // the Error box's text as a pattern; empty: the update completes

    const QStringList a{"a.txt"};
    const QString unverified = "The update could not be verified: ";
    QTest::newRow("bytes altered on the way") << "first" << "" << qint64(5) << 3600 << qint64(0) << QByteArray("NEW A\n") << a << true
                                              << "the file's SHA-256 does not match the signed release: download file \\[a\\.txt\\] failed!";
    QTest::newRow("endless body") << "first" << "" << qint64(5) << 3600 << qint64(0) << QByteArray("endless") << a << true
                                  << "the file is longer than the 6 bytes of the signed release: download file \\[a\\.txt\\] failed!";
    QTest::newRow("listing altered") << "first" << "listing" << qint64(5) << 3600 << qint64(0) << newA << a << true
                                     << unverified + "the release listing is not signed by a trusted release key\\.";
    QTest::newRow("signature stripped") << "first" << "signature" << qint64(5) << 3600 << qint64(0) << newA << a << true
                                        << unverified + "the update service sent no signed release listing\\.";
    QTest::newRow("unsigned reply") << "none" << "" << qint64(5) << 3600 << qint64(0) << newA << a << true
                                    << unverified + "the update service sent no signed release listing\\.";
    // Nothing newer, as for a rollout halted after this installation took it: no box, nothing changes.
    QTest::newRow("older listing replayed") << "first" << "" << qint64(3) << 3600 << qint64(4) << newA << a << true << "";
    QTest::newRow("expired listing") << "first" << "" << qint64(5) << -60 << qint64(0) << newA << a << true
                                     << unverified + "the signed release listing expired at .+";
    QTest::newRow("unknown key") << "unknown" << "" << qint64(5) << 3600 << qint64(0) << newA << a << true
                                 << unverified + "the release listing is not signed by a trusted release key\\.";
    QTest::newRow("reply names an unlisted file") << "first" << "" << qint64(5) << 3600 << qint64(4) << newA
                                                  << QStringList{"a.txt", "evil.dll"} << true << "";
    // Recorded although nothing was installed: otherwise any older listing could be replayed later.
    QTest::newRow("already current") << "first" << "" << qint64(5) << 3600 << qint64(4) << QByteArray("current") << a << true << "";
    QTest::newRow("second of two keys") << "second" << "" << qint64(5) << 3600 << qint64(0) << newA << a << true << "";
    QTest::newRow("an untrusted key's signature first") << "unknown,second" << "" << qint64(5) << 3600 << qint64(0) << newA
                                                        << a << true << "";
    QTest::newRow("no key trusted, base reply") << "none" << "" << qint64(5) << 3600 << qint64(0) << newA << a << false << "";
    QTest::newRow("reply without MAC") << "first" << "no mac" << qint64(5) << 3600 << qint64(0) << newA << a << true
                                       << unverified + "the reply of the update service is not authenticated\\.";
    QTest::newRow("no key trusted, reply without MAC") << "none" << "no mac" << qint64(5) << 3600 << qint64(0) << newA << a
                                                       << false << "";
    // In CFB the flip garbles the next block, where download_url's value begins.
    const QString altered = unverified + "the reply of the update service was altered on the way\\.";
    QTest::newRow("first block flipped") << "first" << "flip" << qint64(5) << 3600 << qint64(0) << newA << a << true << altered;
    QTest::newRow("no key trusted, first block flipped") << "none" << "flip" << qint64(5) << 3600 << qint64(0) << newA << a
                                                         << false << altered;
    const QString notWeb = "The update service named a download address that is neither http nor https\\.";
    for (const char *url : {"file:///C:/Trelvox", "\\\\host\\share", "ftp://127.0.0.1/files", "127.0.0.1/files"}) {
        QTest::addRow("download_url %s", url) << "none" << QString("url ") + url << qint64(5) << 3600 << qint64(0) << newA
                                              << a << false << notWeb;
    }
    QTest::newRow("download_url file:, key trusted") << "first" << "url file:///C:/Trelvox" << qint64(5) << 3600 << qint64(0)
                                                     << newA << a << true << notWeb;
}

void tst_signedrelease::attacks()
{
    QFETCH(QString, signer);
    QFETCH(QString, tamper);
    QFETCH(qint64, sequence);
    QFETCH(int, expiresIn);
    QFETCH(qint64, lastSequence);
    QFETCH(QByteArray, served);
    QFETCH(QStringList, replyFiles);
    QFETCH(bool, trusting);
    QFETCH(QString, box);

    QTemporaryDir dir;
    const QString install = dir.filePath("install/");
    const bool current = served == "current";
    QVERIFY(writeFile(install + "a.txt", current ? newA : QByteArray("old a\n")));
    Manifest::writeTextFile(Manifest::versionManifestToXml({{"a.txt", VersionEntry(current ? "2.0.0" : "1.0.0", "a.txt")}}), install + "version.xml");
    if (lastSequence > 0)
        QVERIFY(writeFile(install + "release.state", QByteArray::number(lastSequence) + "\n"));
    QDir().mkpath(install + "updater");
    UpdaterEnvironment environment = testEnvironment(install + "updater");
    environment.releaseKeys = trusting ? QList<QByteArray>{first.publicKey(), second.publicKey()} : QList<QByteArray>{};
    UpdaterEnvironment::setForTesting(environment);

    QJsonArray files;
    for (const QString &path : replyFiles)
        files << QJsonObject{{"file_name", path}, {"file_path", path}, {"file_version", "2.0.0"}, {"modified_time", "2020-01-01T00:00:00"}};
    QJsonObject reply{{"files", files}};
    if (signer != "none") {
        const QString release = listing(sequence, utcIn(expiresIn));
        reply["release"] = tamper == "listing" ? QString(release).replace("2.0.0", "2.0.1") : release;
        QJsonArray signatures;
        for (const QString &name : signer.split(','))
            signatures << (name == "first" ? first : name == "second" ? second : unknown).sign(release);
        if (tamper != "signature")
            reply["release_signature"] = signatures.first();
        if (signatures.size() > 1)
            reply["release_signatures"] = signatures;
    }
    QMap<QString, QByteArray> before;
    for (const char *name : {"a.txt", "version.xml", "release.state"})
        before.insert(name, readFile(install + name));
    QStringList requested;
    const QStringList boxes = runAgainst(install, reply, tamper, {{"/files/a.txt", served}}, &requested);
    UpdaterEnvironment::setForTesting({});

    QVERIFY2(QRegularExpression("^" + (box.isEmpty() ? QString() : "Error\\|" + box) + "$").match(boxes.join('\n')).hasMatch(),
             qPrintable(boxes.join('\n')));
    const bool older = sequence < lastSequence;
    QCOMPARE(requested, box.startsWith("The update") || current || older ? QStringList() : QStringList{"/files/a.txt"});
    QVERIFY(QDir(install + "tmps").entryList(QDir::Files).isEmpty()); // nothing of a refused file stays
    if (!box.isEmpty() || older) {
        for (auto it = before.cbegin(); it != before.cend(); ++it)
            QCOMPARE(readFile(install + it.key()), it.value());
        return;
    }
    QCOMPARE(readFile(install + "a.txt"), newA);
    QCOMPARE(Manifest::readVersionManifest(install + "version.xml").keys(), QStringList{"a.txt"});
    QCOMPARE(Manifest::readVersionManifest(install + "version.xml")["a.txt"].version, QString("2.0.0"));
    QCOMPARE(readFile(install + "release.state"), trusting ? QByteArray("5\n") : QByteArray());
}

QStringList tst_signedrelease::runAgainst(const QString &install, QJsonObject reply, const QString &tamper,
                                          const QMap<QString, QByteArray> &files, QStringList *requested)
{
    LoopbackServer server;
    std::mutex lock;
    QFile keyFile(SERVICE_KEY_FILE);
    if (!keyFile.open(QIODevice::ReadOnly))
        return {"the service's key cannot be read"};
    const ServiceKeyPair keyPair = ServiceKeyPair::fromPrivateKeyDer(keyFile.readAll().toStdString());
    server.http().Post("/api/upgrade", [&](const httplib::Request &request, httplib::Response &response) {
        std::string requestKey;
        keyPair.decryptRsaOaepHex(QJsonDocument::fromJson(QByteArray::fromStdString(request.body))["key"].toString().toStdString(), &requestKey);
        QJsonObject sent = reply;
        if (tamper != "no mac")
            sent[replyMacMember] = QString(replyMacHexLength, '0');
        std::string text = QJsonDocument(sent).toJson(QJsonDocument::Compact).toStdString();
        if (tamper != "no mac")
            text = sealReplyMac(requestKey, text);
        QByteArray cipher = QByteArray::fromHex(QByteArray::fromStdString(encryptAesCfbHex(requestKey, requestIvText, text)));
        if (tamper == "flip")
            cipher[15] = char(cipher[15] ^ 0x20);
        response.set_content(cipher.toHex().toStdString(), "text/plain");
    });
    server.http().Get("/files/.*", [&](const httplib::Request &request, httplib::Response &response) {
        std::lock_guard<std::mutex> guard(lock);
        const QString path = QString::fromStdString(request.path);
        *requested << path;
        if (!files.contains(path)) {
            response.status = 404;
            return;
        }
        if (files.value(path) != "endless")
            return response.set_content(files.value(path).toStdString(), "application/octet-stream");
        response.set_chunked_content_provider("application/octet-stream", [](size_t offset, httplib::DataSink &sink) {
            return offset < (size_t(1) << 30) && sink.write("endless", 7); // 1 GiB at most
        });
    });
    server.start();
    // Read by the handler only once the run asks.
    reply["download_url"] = tamper.startsWith("url ") ? tamper.mid(4) : server.url("/files");
    if (!writeFile(install + "updater/config.xml", "<Config><Update>" + server.url("/api/upgrade").toUtf8()
                                                       + "</Update><Log>update.log</Log></Config>\n"))
        return {"config.xml cannot be written"};

    MessageBoxAnswerer answerer;
    {
        updateWindow window;
        window.token = "T";
        window.show();
        window.runUpdate();
    }
    QStringList boxes;
    for (const MessageBoxAnswerer::Box &shown : answerer.boxes)
        boxes << shown.title + "|" + shown.text;
    return boxes;
}

void tst_signedrelease::fallback_data()
{
    QTest::addColumn<QString>("patch");      // "": none listed; ok, missing, corrupt, other base
    QTest::addColumn<QString>("compressed"); // "": none listed; ok, missing, corrupt, altered, no smaller
    QTest::addColumn<QByteArray>("installed");
    QTest::addColumn<QStringList>("requested");

    const QByteArray old = "old a\n";
    const QString patch = "/files/.trelvox-forms/p.patch";
    const QString zst = "/files/.trelvox-forms/a.zst";
    const QString whole = "/files/a.txt";
    QTest::newRow("patch") << "ok" << "ok" << old << QStringList{patch};
    QTest::newRow("patch missing") << "missing" << "ok" << old << QStringList{patch, zst};
    QTest::newRow("patch corrupt") << "corrupt" << "ok" << old << QStringList{patch, zst};
    QTest::newRow("patch for another base") << "other base" << "ok" << old << QStringList{zst};
    QTest::newRow("installed file changed locally") << "ok" << "ok" << QByteArray("edited here\n") << QStringList{zst};
    QTest::newRow("compressed copy") << "" << "ok" << old << QStringList{zst};
    QTest::newRow("compressed copy missing") << "" << "missing" << old << QStringList{zst, whole};
    QTest::newRow("compressed copy corrupt") << "" << "corrupt" << old << QStringList{zst, whole};
    QTest::newRow("compressed copy altered on the way") << "" << "altered" << old << QStringList{zst, whole};
    QTest::newRow("compressed copy no smaller") << "" << "no smaller" << old << QStringList{whole};
    QTest::newRow("every form fails") << "corrupt" << "corrupt" << old << QStringList{patch, zst, whole};
}

// Smaller forms of a file: the first that works is used, and whatever fails falls back to the next,
// at last to the file itself; the listed bytes are installed in every case.
void tst_signedrelease::fallback()
{
    QFETCH(QString, patch);
    QFETCH(QString, compressed);
    QFETCH(QByteArray, installed);
    QFETCH(QStringList, requested);

    QTemporaryDir dir;
    const QString install = dir.filePath("install/");
    QVERIFY(writeFile(install + "a.txt", installed));
    Manifest::writeTextFile(Manifest::versionManifestToXml({{"a.txt", VersionEntry("1.0.0", "a.txt")}}), install + "version.xml");
    QVERIFY(QDir().mkpath(install + "updater"));
    UpdaterEnvironment environment = testEnvironment(install + "updater");
    environment.releaseKeys = {first.publicKey()};
    UpdaterEnvironment::setForTesting(environment);

    const auto sha = [](const QByteArray &bytes) {
        return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
    };
    const auto form = [&](const QString &path, const QByteArray &bytes) {
        return QJsonObject{{"path", path}, {"size", bytes.size()}, {"sha256", sha(bytes)}};
    };
    // Large enough for its compressed copy to be the smaller form.
    const QByteArray fresh = QByteArray("new a\n").repeated(500);
    QByteArray patchBytes;
    QVERIFY(PatchMaker().make("old a\n", fresh, &patchBytes) || patch.isEmpty());
    std::string zstBytes(ZSTD_compressBound(size_t(fresh.size())), '\0');
    zstBytes.resize(ZSTD_compress(&zstBytes[0], zstBytes.size(), fresh.constData(), size_t(fresh.size()), 19));
    const QByteArray garbage = QByteArray(64, 'g');

    QJsonObject changes{{"file_size", fresh.size()}, {"sha256", sha(fresh)}};
    QMap<QString, QByteArray> served{{"/files/a.txt", fresh}};
    if (!patch.isEmpty()) {
        QJsonObject listed = form(".trelvox-forms/p.patch", patch == "corrupt" ? garbage : patchBytes);
        listed["base_sha256"] = sha(patch == "other base" ? QByteArray("another\n") : QByteArray("old a\n"));
        changes["patches"] = QJsonArray{listed};
        if (patch != "missing")
            served["/files/.trelvox-forms/p.patch"] = patch == "corrupt" ? garbage : patchBytes;
    }
    if (!compressed.isEmpty()) {
        const QByteArray bytes = compressed == "no smaller" ? QByteArray(fresh.size(), 'z') : QByteArray::fromStdString(zstBytes);
        changes["compressed"] = form(".trelvox-forms/a.zst", compressed == "corrupt" ? garbage : bytes);
        if (compressed != "missing")
            served["/files/.trelvox-forms/a.zst"] = compressed == "ok" ? bytes : garbage;
    }
    const QString release = listing(5, utcIn(3600), {}, changes);
    QStringList asked;
    const QStringList boxes = runAgainst(install, {{"files", QJsonArray()}, {"release", release},
                                                   {"release_signature", first.sign(release)}}, "", served, &asked);
    UpdaterEnvironment::setForTesting({});

    QCOMPARE(boxes, QStringList());
    QCOMPARE(asked, requested);
    QCOMPARE(readFile(install + "a.txt"), fresh);
    QDirIterator left(install + "tmps", QDir::Files, QDirIterator::Subdirectories);
    QVERIFY(!left.hasNext());
}

void tst_signedrelease::wholeRelease_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("box"); // the Error box's text as a pattern; empty: the release goes in

    QTest::newRow("none") << "" << "";
    QTest::newRow("second fails to download") << "b.txt missing" << ".+: download file \\[b\\.txt\\] failed!";
    QTest::newRow("second fails to verify") << "b.txt altered"
                                            << "the file's SHA-256 does not match the signed release: download file \\[b\\.txt\\] failed!";
    QTest::newRow("third cannot be put in place") << "c.txt blocked" << "Error: cover file \\[c\\.txt\\] failed!";
    // Staged files are not all held open: a process may have fewer handles than a release has files.
    QTest::newRow("more files than open handles") << "many" << "";
    // Planted by someone who can write the updater's folder: what it points at is not ours to empty.
    QTest::newRow("the old copies' folder links outside") << "replaced link" << "";
    // An old copy the last install could not remove (on Windows an updater image still mapped) stays
    // where it is, and this install's copies take other names.
    QTest::newRow("an old copy still in use") << "old copy in use" << "";
}

// A signed release goes in whole or not at all: whatever fails, every installed file is then
// byte for byte the old release, and version.xml and the release state are as they were.
void tst_signedrelease::wholeRelease()
{
    QFETCH(QString, fault);
    QFETCH(QString, box);

    QTemporaryDir dir;
    const QString install = dir.filePath("install/");
    QStringList names{"a.txt", "b.txt", "c.txt"};
    for (int i = 0; fault == "many" && i < 300; ++i)
        names << QString("many/%1.txt").arg(i);
    QVERIFY(QDir().mkpath(install + "updater"));
    VersionManifest manifest;
    QJsonArray listed;
    QMap<QString, QByteArray> served;
    for (const QString &name : names) {
        QVERIFY(writeFile(install + name, "old " + name.toUtf8()));
        manifest.insert(name, VersionEntry("1.0.0", name));
        const QByteArray bytes = "new " + name.toUtf8();
        listed << QJsonObject{{"file_path", name}, {"file_version", "2.0.0"}, {"modified_time", "2020-01-01T00:00:00"},
                              {"file_size", bytes.size()},
                              {"sha256", QString(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex())}};
        if (fault != name + " missing")
            served.insert("/files/" + name, fault == name + " altered" ? QByteArray("NEW ") + name.toUtf8() : bytes);
    }
    Manifest::writeTextFile(Manifest::versionManifestToXml(manifest), install + "version.xml");
    QVERIFY(writeFile(install + "release.state", "4\n"));
    if (fault == "c.txt blocked") { // a folder in its place, which is never replaced
        QVERIFY(QFile::remove(install + "c.txt"));
        QVERIFY(writeFile(install + "c.txt/in-the-way", "x"));
    }
    if (fault == "replaced link") {
        QVERIFY(writeFile(dir.filePath("outside/keep"), "keep"));
        QVERIFY(QFile::link(dir.filePath("outside"), install + "updater/replaced"));
    }
    if (fault == "old copy in use") {
        QVERIFY(writeFile(install + "updater/replaced/0", "an old copy free to go"));
        QVERIFY(writeFile(install + "updater/replaced/1", "an old updater"));
        refuseChanges(install + "updater/replaced/1", true);
    }
    auto unblock = qScopeGuard([&] { refuseChanges(install + "updater/replaced/1", false); });
    const QStringList kept = names + QStringList{"c.txt/in-the-way", "version.xml", "release.state"};
    QMap<QString, QByteArray> before;
    for (const QString &name : kept)
        before.insert(name, readFile(install + name));
    UpdaterEnvironment environment = testEnvironment(install + "updater");
    environment.releaseKeys = {first.publicKey()};
    UpdaterEnvironment::setForTesting(environment);

    const QString release = listing(5, utcIn(3600), {{"files", listed}});
    rlimit handles;
    QVERIFY(::getrlimit(RLIMIT_NOFILE, &handles) == 0);
    rlimit fewer = handles;
    fewer.rlim_cur = fault == "many" ? 200 : handles.rlim_cur;
    QVERIFY(::setrlimit(RLIMIT_NOFILE, &fewer) == 0);
    QStringList asked;
    const QStringList boxes = runAgainst(install, {{"files", QJsonArray()}, {"release", release},
                                                   {"release_signature", first.sign(release)}}, "", served, &asked);
    ::setrlimit(RLIMIT_NOFILE, &handles);
    UpdaterEnvironment::setForTesting({});

    QVERIFY2(QRegularExpression("^" + (box.isEmpty() ? QString() : "Error\\|" + box) + "$").match(boxes.join('\n')).hasMatch(),
             qPrintable(boxes.join('\n')));
    QVERIFY(!QFileInfo::exists(install + "updater/install.journal"));
    for (const QString &name : kept) {
        const QByteArray expected = box.isEmpty() && names.contains(name) ? "new " + name.toUtf8() : before.value(name);
        if (!box.isEmpty() || names.contains(name))
            QVERIFY2(readFile(install + name) == expected, qPrintable(name));
    }
    if (box.isEmpty())
        QCOMPARE(readFile(install + "release.state"), QByteArray("5\n"));
    // Once a file has failed for good the release cannot go in: nothing after it is fetched.
    QCOMPARE(asked.contains("/files/c.txt"), !fault.startsWith("b.txt"));
    // Until the swap a file is only staged; a release put back says why, not that no file failed.
    const QByteArray log = readFile(install + "updater/update.log");
    QVERIFY2(log.contains("file a.txt: staged\n") && !log.contains(" 0 of "), log.constData());
    if (fault == "replaced link")
        QCOMPARE(readFile(dir.filePath("outside/keep")), QByteArray("keep"));
    if (fault == "old copy in use") {
        QCOMPARE(readFile(install + "updater/replaced/1"), QByteArray("an old updater"));
        QCOMPARE(QDir(install + "updater/replaced").entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"1"});
    }
}

QTEST_MAIN(tst_signedrelease)
#include "tst_signedrelease.moc"
