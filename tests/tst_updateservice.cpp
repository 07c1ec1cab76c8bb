#include "protocol/payloadcrypto.h"
#include "service/servicekeypair.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <httplib.h>

#include <memory>

// Drives the real update-service executable over loopback HTTP.
class UpdateServiceTest : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir temp;
    QString release;
    const QString demoKey = SOURCE_DIR "/service/demo-keys/private.der";

    static QString serviceBinary()
    {
        return QCoreApplication::applicationDirPath() + "/../service/update-service";
    }

    static std::string demoPublicKey()
    {
        QFile file(SOURCE_DIR "/service/demo-keys/public.hex");
        return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toStdString() : std::string();
    }

    static int run(const QStringList &arguments)
    {
        QProcess process;
        process.start(serviceBinary(), arguments);
        return process.waitForFinished(30000) ? process.exitCode() : -1;
    }

    static void writeFile(const QString &path, const QByteArray &bytes)
    {
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

    static QByteArray readFile(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // A running service and its port; the process ends with the object.
    struct Service
    {
        QProcess process;
        int port = 0;
        ~Service() { process.kill(); process.waitForFinished(); }
    };

    std::unique_ptr<Service> serve(const QStringList &extra = {}, const QString &key = QString())
    {
        auto service = std::make_unique<Service>();
        service->process.start(serviceBinary(), QStringList{"serve", "--release", release, "--key",
                                                            key.isEmpty() ? demoKey : key,
                                                            "--listen", "127.0.0.1:0"} + extra);
        while (service->process.waitForReadyRead(10000) && !service->process.canReadLine()) {}
        const auto match = QRegularExpression("^listening on 127\\.0\\.0\\.1:(\\d+)\n$")
                               .match(service->process.readLine());
        service->port = match.hasMatch() ? match.captured(1).toInt() : 0;
        return service;
    }

    // The service's decrypted answer to one upgrade query, made as the updater makes it.
    static QJsonObject upgrade(int port, const QString &token, const std::string &publicKey = demoPublicKey())
    {
        const std::string requestKey = makeRequestKey(10);
        const QByteArray inner = QJsonDocument(QJsonObject{{"token", token}, {"system_type", "x86"}}).toJson();
        const QJsonObject request{
            {"key", QString::fromStdString(encryptRsaOaepHex(publicKey, rsaEntropyText, requestKey))},
            {"value", QString::fromStdString(encryptAesCfbHex(requestKey, requestIvText, inner.toStdString()))}};
        httplib::Client client("127.0.0.1", port);
        const auto result = client.Post("/api/upgrade", QJsonDocument(request).toJson().toStdString(),
                                        "application/json");
        if (!result || result->status != 200)
            return {{"http_status", result ? result->status : 0}};
        return QJsonDocument::fromJson(QByteArray::fromStdString(
                                           decryptAesCfbHex(requestKey, requestIvText, result->body)))
            .object();
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QFile::exists(serviceBinary()), "build the update-service target first");
        QVERIFY(temp.isValid());
        release = temp.filePath("release");
        QByteArray allBytes;
        for (int i = 0; i < 600 * 1024; ++i)
            allBytes.append(char(i * 7 % 256));
        writeFile(release + "/Trelvox.exe", allBytes);
        writeFile(release + "/data/nested/config.bin", QByteArray("\0\r\n\x1a", 4));
        writeFile(release + "/docs/\u00fcn\u00ef.txt", "umlauts");
        writeFile(release + "/empty.dat", QByteArray());
        writeFile(temp.filePath("outside.txt"), "secret");
        QVERIFY(QFile::link(temp.filePath("outside.txt"), release + "/link-out"));
        QCOMPARE(run({"publish", release, "--version", "1.2.3"}), 0);
    }

    void publishListsEveryFileSorted()
    {
        const QJsonArray files = QJsonDocument::fromJson(readFile(release + "/release.json"))["files"].toArray();
        const QStringList paths{"Trelvox.exe", "data/nested/config.bin", "docs/\u00fcn\u00ef.txt", "empty.dat"};
        QCOMPARE(files.size(), paths.size());
        for (int i = 0; i < files.size(); ++i) {
            const QDateTime modified = QFileInfo(release + "/" + paths[i]).lastModified();
            QCOMPARE(files[i]["file_path"].toString(), paths[i]);
            QCOMPARE(files[i]["file_version"].toString(), QString("1.2.3"));
            QCOMPARE(files[i]["modified_time"].toString(), modified.toString("yyyy-MM-ddThh:mm:ss"));
        }
    }

    void publishVersions()
    {
        const QString other = temp.filePath("versions");
        writeFile(other + "/a.txt", "a");
        QCOMPARE(run({"publish", other}), 1); // nothing listed yet, so no version to keep
        QVERIFY(!QFile::exists(other + "/release.json"));
        QCOMPARE(run({"publish", other, "--version", "1.0.0"}), 0);
        const QByteArray first = readFile(other + "/release.json");

        writeFile(other + "/b.txt", "b");
        QCOMPARE(run({"publish", other}), 1);
        QCOMPARE(readFile(other + "/release.json"), first);
        QCOMPARE(run({"publish", other, "--version", "1.0"}), 1);
        QCOMPARE(run({"publish", other, "--version", "2.0.10"}), 0);
        QCOMPARE(run({"publish", other}), 0);
        const QJsonArray files = QJsonDocument::fromJson(readFile(other + "/release.json"))["files"].toArray();
        QCOMPARE(files.size(), 2);
        for (const QJsonValue &file : files)
            QCOMPARE(file["file_version"].toString(), QString("2.0.10"));
        QCOMPARE(run({"publish", temp.filePath("missing"), "--version", "1.0.0"}), 1);
    }

    void answersWithTheListingAsWritten()
    {
        const QByteArray published = readFile(release + "/release.json");
        QJsonObject listing = QJsonDocument::fromJson(published).object();
        QJsonArray files = listing["files"].toArray();
        // Hand edits the service passes on untouched: judging paths is the updater's job.
        files.append(QJsonObject{{"file_path", "../evil.txt"}, {"file_version", "9.9.9"}, {"modified_time", "x"}});
        files.append(QJsonObject{{"file_path", QString::fromUtf8("nul\0inside", 10)}, {"file_version", "1.0.0"}});
        listing["files"] = files;
        writeFile(release + "/release.json", QJsonDocument(listing).toJson());

        const auto service = serve();
        const QJsonObject reply = upgrade(service->port, "any token");
        writeFile(release + "/release.json", published);

        QCOMPARE(reply["download_url"].toString(), QString("http://127.0.0.1:%1/files").arg(service->port));
        const QJsonArray answered = reply["files"].toArray();
        QCOMPARE(answered.size(), files.size());
        const QStringList names{"Trelvox.exe", "config.bin", "\u00fcn\u00ef.txt", "empty.dat", "evil.txt",
                                QString::fromUtf8("nul\0inside", 10)};
        for (int i = 0; i < files.size(); ++i) {
            QJsonObject expected = files[i].toObject();
            expected["file_name"] = names[i];
            QCOMPARE(answered[i].toObject(), expected);
        }
    }

    void tokens_data()
    {
        QTest::addColumn<QString>("tokenList");
        QTest::addColumn<QString>("token");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("no list, any token") << QString() << "NoToken" << true;
        QTest::newRow("no list, empty token") << QString() << "" << false;
        QTest::newRow("listed") << "alpha\r\nbeta\n\n" << "beta" << true;
        QTest::newRow("not listed") << "alpha\r\nbeta\n\n" << "gamma" << false;
        QTest::newRow("empty, with a list") << "alpha\n\n" << "" << false;
    }

    void tokens()
    {
        QFETCH(QString, tokenList);
        QFETCH(QString, token);
        QFETCH(bool, accepted);
        QStringList options;
        if (!tokenList.isNull()) {
            writeFile(temp.filePath("tokens.txt"), tokenList.toUtf8());
            options << "--tokens" << temp.filePath("tokens.txt");
        }
        const auto service = serve(options);
        const QJsonObject reply = upgrade(service->port, token);
        if (accepted)
            QCOMPARE(reply["files"].toArray().size(), 4);
        else
            QCOMPARE(reply, (QJsonObject{{"error_code", 500}}));
    }

    void downloadUrlCanPointElsewhere()
    {
        const auto service = serve({"--download-url", "https://cdn.example.com/r/7"});
        QCOMPARE(upgrade(service->port, "t")["download_url"].toString(), QString("https://cdn.example.com/r/7"));
    }

    void badInput_data()
    {
        QTest::addColumn<QByteArray>("body");
        const std::string key = encryptRsaOaepHex(demoPublicKey(), rsaEntropyText, "aZ09bY18cX");
        const auto request = [](const std::string &keyHex, const std::string &valueHex) {
            return QJsonDocument(QJsonObject{{"key", QString::fromStdString(keyHex)},
                                             {"value", QString::fromStdString(valueHex)}}).toJson();
        };
        const std::string value = encryptAesCfbHex("aZ09bY18cX", requestIvText,
                                                   R"({"token": "t", "system_type": "x86"})");
        QTest::newRow("not JSON") << QByteArray("key=1&value=2");
        QTest::newRow("JSON array") << QByteArray("[]");
        QTest::newRow("no key") << QByteArray(R"({"value": "00"})");
        QTest::newRow("no value") << QByteArray(R"({"key": "00"})");
        QTest::newRow("key not a string") << QByteArray(R"({"key": 5, "value": "00"})");
        QTest::newRow("key not hex") << request("not hex", value);
        QTest::newRow("value odd hex") << request(key, "ABC");
        QTest::newRow("key for another key pair")
            << request(encryptRsaOaepHex(ServiceKeyPair::generate().publicKeyHex(), rsaEntropyText, "k"), value);
        QTest::newRow("key cut short") << request(key.substr(0, 254), value);
        QTest::newRow("value lacks the token")
            << request(key, encryptAesCfbHex("aZ09bY18cX", requestIvText, R"({"system_type": "x86"})"));
        QTest::newRow("value under another key")
            << request(encryptRsaOaepHex(demoPublicKey(), rsaEntropyText, "otherKey00"), value);
        QTest::newRow("over 64 KiB") << request(key, value) + QByteArray(70 * 1024, ' ');
    }

    void badInput()
    {
        QFETCH(QByteArray, body);
        const auto service = serve();
        httplib::Client client("127.0.0.1", service->port);
        const auto result = client.Post("/api/upgrade", body.toStdString(), "application/json");
        QVERIFY(result);
        QCOMPARE(result->status, 400);
        QVERIFY(!result->body.empty());
        // Still serving, and it logged both requests.
        QCOMPARE(upgrade(service->port, "t")["files"].toArray().size(), 4);
        QByteArray log;
        QTRY_COMPARE((log += service->process.readAllStandardError()).count('\n'), 2);
        QVERIFY2(log.contains("127.0.0.1 \"POST /api/upgrade\" 400"), log);
    }

    void servesExactBytes_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("urlPath");
        QTest::newRow("large, several pieces") << "Trelvox.exe" << "Trelvox.exe";
        QTest::newRow("nested, control bytes") << "data/nested/config.bin" << "data/nested/config.bin";
        QTest::newRow("non-ASCII name") << "docs/\u00fcn\u00ef.txt" << "docs/%C3%BCn%C3%AF.txt";
        QTest::newRow("empty") << "empty.dat" << "empty.dat";
    }

    void servesExactBytes()
    {
        QFETCH(QString, path);
        QFETCH(QString, urlPath);
        const auto service = serve();
        httplib::Client client("127.0.0.1", service->port);
        const auto result = client.Get(("/files/" + urlPath).toStdString());
        QVERIFY(result);
        QCOMPARE(result->status, 200);
        const QByteArray expected = readFile(release + "/" + path);
        QCOMPARE(QByteArray::fromStdString(result->body), expected);
        QCOMPARE(result->get_header_value("Content-Length"), std::to_string(expected.size()));
    }

    void refusesWhatLiesOutside_data()
    {
        QTest::addColumn<QString>("urlPath");
        QTest::newRow("dot-dot") << "../outside.txt";
        QTest::newRow("encoded dot-dot") << "%2e%2e/outside.txt";
        QTest::newRow("dot-dot after a folder") << "data/../../outside.txt";
        QTest::newRow("absolute") << "/" + temp.filePath("outside.txt");
        QTest::newRow("symbolic link out") << "link-out";
        QTest::newRow("the listing") << "release.json";
        QTest::newRow("a folder") << "data";
        QTest::newRow("missing") << "missing.txt";
    }

    void refusesWhatLiesOutside()
    {
        QFETCH(QString, urlPath);
        const auto service = serve();
        httplib::Client client("127.0.0.1", service->port);
        const auto result = client.Get(("/files/" + urlPath).toStdString());
        QVERIFY(result);
        QCOMPARE(result->status, 404);
        QVERIFY(result->body.find("secret") == std::string::npos);
    }

    void keygenMakesAPairTheServiceUses()
    {
        const QString keys = temp.filePath("keys");
        QCOMPARE(run({"keygen", keys}), 0);
        const QByteArray publicKey = readFile(keys + "/public.hex").trimmed();
        QVERIFY(QRegularExpression("^[0-9A-F]{320}$").match(publicKey).hasMatch());
        QCOMPARE(QFile::permissions(keys + "/private.der") & 0x0077, QFileDevice::Permissions());
        const QByteArray privateKey = readFile(keys + "/private.der");
        QCOMPARE(run({"keygen", keys}), 1); // never replaces a vendor's key
        QCOMPARE(readFile(keys + "/private.der"), privateKey);

        const auto service = serve({}, keys + "/private.der");
        QCOMPARE(upgrade(service->port, "t", publicKey.toStdString())["files"].toArray().size(), 4);
        QCOMPARE(upgrade(service->port, "t"), (QJsonObject{{"http_status", 400}}));
    }
};

QTEST_GUILESS_MAIN(UpdateServiceTest)
#include "tst_updateservice.moc"
