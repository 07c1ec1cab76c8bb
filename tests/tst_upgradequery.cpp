#include <QtTest>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <atomic>
#include <mutex>
#include <utility>

#include "app/installation.h"
#include "app/updaterenvironment.h"
#include "app/updatewindow.h"
#include "manifest/versionmanifest.h"
#include "protocol/payloadcrypto.h"
#include "service/servicekeypair.h"
#include "tests/support/loopbackserver.h"
#include "tests/support/messageboxanswerer.h"

namespace {
const QString t = "2024-05-01T10:00:00";
const QString earlier = "2024-05-01T09:59:59";
const QString later = "2024-05-01T10:00:01";

QJsonObject listed(const QString &path, const QString &version, const QString &time = t)
{
    return {{"file_path", path}, {"file_version", version}, {"modified_time", time}};
}

QStringList describe(const QMap<QString, VersionEntry> &entries)
{
    QStringList lines;
    for (auto it = entries.cbegin(); it != entries.cend(); ++it)
        lines << it.key() + "=" + it->version;
    return lines;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// The demo key pair's private half lets a test server read the request key, as the service does.
ServiceKeyPair demoKeyPair()
{
    QFile file(SERVICE_KEY_FILE);
    return ServiceKeyPair::fromPrivateKeyDer(file.open(QIODevice::ReadOnly) ? file.readAll().toStdString()
                                                                            : std::string());
}

// A service that answers every upgrade query with a given text, encrypted under the request key
// unless told otherwise, and keeps what it was sent.
struct ScriptedService
{
    struct Received
    {
        QJsonObject request;
        std::string contentType;
        std::string inner;
    };

    ScriptedService(int status, const QByteArray &reply, bool encrypted = true)
    {
        server.http().Post("/api/upgrade", [this, status, reply, encrypted](const httplib::Request &request, httplib::Response &response) {
            Received got{QJsonDocument::fromJson(QByteArray::fromStdString(request.body)).object(),
                         request.get_header_value("Content-Type"), {}};
            std::string requestKey;
            keyPair.decryptRsaOaepHex(got.request.value("key").toString().toStdString(), &requestKey);
            got.inner = decryptAesCfbHex(requestKey, requestIvText, got.request.value("value").toString().toStdString());
            {
                std::lock_guard<std::mutex> lock(mutex);
                received.append(got);
            }
            response.status = status;
            response.set_content(encrypted ? encryptAesCfbHex(requestKey, requestIvText, reply.toStdString())
                                           : reply.toStdString(),
                                 "text/plain");
        });
        server.start();
    }

    QList<Received> takeReceived()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(received, {});
    }

    const ServiceKeyPair keyPair = demoKeyPair();
    std::mutex mutex;
    QList<Received> received;
    LoopbackServer server;
};
}

class tst_upgradequery : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();
    void decisionAgainstService_data();
    void decisionAgainstService();
    void rejectedTokenAgainstService();
    void replies_data();
    void replies();
    void requestOnTheWire();
    void unusablePublicKey();
    void builtInEndpoint_data();
    void builtInEndpoint();

private:
    void pointConfigAt(const QString &url);
    void install(const QStringList &files);

    QTemporaryDir serviceDir;
    QProcess service;
    QString servicePort;
    QScopedPointer<QTemporaryDir> root;
};

void tst_upgradequery::initTestCase()
{
    QVERIFY(writeFile(serviceDir.filePath("release.json"), R"({"files": []})"));
    service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    service.start(UPDATE_SERVICE_BIN,
                  {"serve", "--release", serviceDir.path(), "--key", SERVICE_KEY_FILE, "--listen", "127.0.0.1:0"});
    while (service.waitForReadyRead(10000) && !service.canReadLine()) {}
    const auto match = QRegularExpression("^listening on 127\\.0\\.0\\.1:(\\d+)\n$").match(service.readLine());
    QVERIFY2(match.hasMatch(), "update-service did not start");
    servicePort = match.captured(1);
}

void tst_upgradequery::cleanupTestCase()
{
    service.kill();
    service.waitForFinished();
}

void tst_upgradequery::init()
{
    root.reset(new QTemporaryDir);
    QVERIFY(QDir(root->path()).mkdir("updater"));
    UpdaterEnvironment environment;
    environment.updaterDirectory = root->filePath("updater");
    environment.releaseKeys.clear(); // the base exchange: the real update-service here signs nothing
    UpdaterEnvironment::setForTesting(environment);
}

void tst_upgradequery::cleanup()
{
    UpdaterEnvironment::setForTesting({});
}

void tst_upgradequery::pointConfigAt(const QString &url)
{
    QVERIFY(writeFile(updaterDirectory() + "/config.xml", "<config><Update>" + url.toUtf8() + "</Update></config>"));
}

// Each file "path|version|time" goes into version.xml, and onto disk with that modification time
// unless the time is empty.
void tst_upgradequery::install(const QStringList &files)
{
    VersionManifest manifest;
    for (const QString &file : files) {
        const QStringList parts = file.split('|');
        manifest.insert(parts[0], VersionEntry(parts[1], parts[0]));
        if (parts[2].isEmpty())
            continue;
        const QString path = installationDirectory() + parts[0];
        QVERIFY(writeFile(path, "installed"));
        QFile installed(path);
        QVERIFY(installed.open(QIODevice::ReadWrite));
        QVERIFY(installed.setFileTime(QDateTime::fromString(parts[2], Qt::ISODate), QFileDevice::FileModificationTime));
    }
    writeTextFile(versionManifestToXml(manifest), installationDirectory() + "version.xml");
}

void tst_upgradequery::decisionAgainstService_data()
{
    QTest::addColumn<QJsonArray>("listing");
    QTest::addColumn<QStringList>("installed");
    QTest::addColumn<QStringList>("toUpdate");
    QTest::addColumn<QStringList>("server");

    const QStringList a100{"a=1.0.0"};
    QTest::newRow("not in version.xml") << QJsonArray{listed("a", "1.0.0")} << QStringList{} << a100 << a100;
    QTest::newRow("installed files not offered are left alone")
        << QJsonArray{listed("a", "1.0.0")} << QStringList{"b|1.0.0|" + t} << a100 << a100;
    QTest::newRow("higher version") << QJsonArray{listed("a", "1.0.1")} << QStringList{"a|1.0.0|" + t}
                                    << QStringList{"a=1.0.1"} << QStringList{"a=1.0.1"};
    QTest::newRow("lower version") << QJsonArray{listed("a", "1.9.9")} << QStringList{"a|2.0.0|" + t}
                                   << QStringList{"a=1.9.9"} << QStringList{"a=1.9.9"};
    QTest::newRow("same version, installed older") << QJsonArray{listed("a", "1.0.0")}
                                                   << QStringList{"a|1.0.0|" + earlier} << a100 << a100;
    QTest::newRow("same version, same time") << QJsonArray{listed("a", "1.0.0")} << QStringList{"a|1.0.0|" + t}
                                             << QStringList{} << a100;
    QTest::newRow("same version, installed newer") << QJsonArray{listed("a", "1.0.0")}
                                                   << QStringList{"a|1.0.0|" + later} << QStringList{} << a100;
    QTest::newRow("numbers compared, not texts") << QJsonArray{listed("a", "1.0.0")}
                                                 << QStringList{"a|01.0.000|" + t} << QStringList{} << a100;
    QTest::newRow("unparsable version is 0.0.0") << QJsonArray{listed("a", "0.0.0")}
                                                 << QStringList{"a|beta|" + t} << QStringList{} << QStringList{"a=0.0.0"};
    QTest::newRow("listed but deleted from disk") << QJsonArray{listed("a", "1.0.0")}
                                                  << QStringList{"a|1.0.0|"} << a100 << a100;
    QTest::newRow("invalid modified_time is earliest") << QJsonArray{listed("a", "1.0.0", "2024-05-01 10:00:00")}
                                                       << QStringList{"a|1.0.0|" + earlier} << QStringList{} << a100;
    QTest::newRow("two invalid times are equal") << QJsonArray{listed("a", "1.0.0", "")}
                                                 << QStringList{"a|1.0.0|"} << QStringList{} << a100;
    QTest::newRow("duplicate path, later wins")
        << QJsonArray{listed("a", "1.0.0"), listed("a", "2.0.0")} << QStringList{"a|2.0.0|" + t}
        << QStringList{} << QStringList{"a=2.0.0"};
    QTest::newRow("ascending key order")
        << QJsonArray{listed("z", "1.0.0"), listed("a", "1.0.0"), listed("B", "1.0.0"), listed("Trelvox.exe", "1.0.0")}
        << QStringList{} << QStringList{"B=1.0.0", "Trelvox.exe=1.0.0", "a=1.0.0", "z=1.0.0"}
        << QStringList{"B=1.0.0", "Trelvox.exe=1.0.0", "a=1.0.0", "z=1.0.0"};
    QTest::newRow("without file_path") << QJsonArray{QJsonObject{{"file_version", "1.0.0"}, {"modified_time", t}}}
                                       << QStringList{} << QStringList{"=1.0.0"} << QStringList{"=1.0.0"};
    // The update run refuses these; the query must not hide them from it.
    QTest::newRow("unsafe paths kept") << QJsonArray{listed("../outside", "1.0.0"), listed("/etc/x", "1.0.0")}
                                       << QStringList{} << QStringList{"../outside=1.0.0", "/etc/x=1.0.0"}
                                       << QStringList{"../outside=1.0.0", "/etc/x=1.0.0"};
    QTest::newRow("empty list") << QJsonArray{} << QStringList{"a|1.0.0|" + t} << QStringList{} << QStringList{};
}

void tst_upgradequery::decisionAgainstService()
{
    QFETCH(QJsonArray, listing);
    QFETCH(QStringList, installed);
    QFETCH(QStringList, toUpdate);
    QFETCH(QStringList, server);

    QVERIFY(writeFile(serviceDir.filePath("release.json"), QJsonDocument(QJsonObject{{"files", listing}}).toJson()));
    install(installed);
    pointConfigAt("http://127.0.0.1:" + servicePort + "/api/upgrade");

    MessageBoxAnswerer answerer;
    updateWindow window;
    window.token = "T";
    QCOMPARE(window.queryUpgrade(), !toUpdate.isEmpty());
    QCOMPARE(describe(window.filesToUpdate), toUpdate);
    QCOMPARE(describe(window.serverFiles), server);
    QCOMPARE(window.downloadUrl, "http://127.0.0.1:" + servicePort + "/files");
    QCOMPARE(answerer.boxes.size(), 0);
}

void tst_upgradequery::rejectedTokenAgainstService()
{
    QVERIFY(writeFile(serviceDir.filePath("release.json"), R"({"files": []})"));
    pointConfigAt("http://127.0.0.1:" + servicePort + "/api/upgrade");

    MessageBoxAnswerer answerer;
    updateWindow window; // the service refuses an empty token
    QVERIFY(!window.queryUpgrade());
    QCOMPARE(answerer.boxes.size(), 1);
    QCOMPARE(answerer.boxes[0].title, QString("ERROR"));
    QCOMPARE(answerer.boxes[0].text, QString("Error Key!"));
}

void tst_upgradequery::replies_data()
{
    QTest::addColumn<int>("status"); // 0: nothing listens
    QTest::addColumn<bool>("encrypted");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("result");
    QTest::addColumn<bool>("keyErrorBox");
    QTest::addColumn<QStringList>("toUpdate");
    QTest::addColumn<QStringList>("server");
    QTest::addColumn<QString>("url");

    // What the window held before the query.
    const QStringList old{"old=9.9.9"};
    const QStringList kept{"kept=1.0.0"};
    const QString before = "http://before";

    const QByteArray a = R"({"file_name": "a", "file_path": "a", "file_version": "1.0.0", "modified_time": "2024-05-01T10:00:00"})";
    const QByteArray listing = R"("download_url": "http://new", "files": [)" + a + "]";
    const QStringList aNew{"a=1.0.0"};
    const QStringList aKept{"a=1.0.0", "kept=1.0.0"};

    QTest::newRow("500 with files") << 200 << true << "{\"error_code\": 500, " + listing + "}"
                                    << false << true << old << kept << before;
    for (const char *code : {"0", "200", "401", "\"500\"", "500.5"}) {
        QTest::addRow("error_code %s ignored", code) << 200 << true << "{\"error_code\": " + QByteArray(code) + ", " + listing + "}"
                                                     << true << false << aNew << aKept << "http://new";
    }
    QTest::newRow("no download_url, files out of date") << 200 << true << "{\"files\": [" + a + "]}"
                                                        << true << false << aNew << aKept << before;
    QTest::newRow("element without file_name")
        << 200 << true << R"({"files": [{"file_path": "b", "file_version": "1.0.0", "modified_time": "2024-05-01T10:00:00"}, )" + a + "]}"
        << true << false << aNew << aKept << before;
    QTest::newRow("element not an object") << 200 << true << "{\"files\": [3, \"b\", " + a + "]}"
                                           << true << false << aNew << aKept << before;
    QTest::newRow("members not strings")
        << 200 << true << QByteArray(R"({"files": [{"file_name": 1, "file_path": "a", "file_version": 100, "modified_time": 5}]})")
        << true << false << QStringList{"a="} << QStringList{"a=", "kept=1.0.0"} << before;
    QTest::newRow("download_url not a string") << 200 << true << "{\"download_url\": 7, \"files\": [" + a + "]}"
                                               << true << false << aNew << aKept << "";
    QTest::newRow("no files member") << 200 << true << QByteArray(R"({"download_url": "http://new"})")
                                     << false << false << old << kept << "http://new";
    QTest::newRow("files not an array") << 200 << true << QByteArray(R"({"files": {"a": 1}})")
                                        << false << false << QStringList{} << kept << before;
    QTest::newRow("not decryptable") << 200 << false << QByteArray("{" + listing + "}")
                                     << false << false << old << kept << before;
    QTest::newRow("top-level array") << 200 << true << "[{" + listing + "}]" << false << false << old << kept << before;
    QTest::newRow("HTTP error status") << 503 << true << "{" + listing + "}" << false << false << old << kept << before;
    QTest::newRow("connection refused") << 0 << true << QByteArray() << false << false << old << kept << before;
}

void tst_upgradequery::replies()
{
    QFETCH(int, status);
    QFETCH(bool, encrypted);
    QFETCH(QByteArray, reply);
    QFETCH(bool, result);
    QFETCH(bool, keyErrorBox);
    QFETCH(QStringList, toUpdate);
    QFETCH(QStringList, server);
    QFETCH(QString, url);

    ScriptedService service(status, reply, encrypted);
    // Port 1 is privileged: nothing listens there.
    pointConfigAt(status == 0 ? QString("http://127.0.0.1:1/api/upgrade") : service.server.url("/api/upgrade"));

    MessageBoxAnswerer answerer;
    updateWindow window;
    window.token = "T";
    window.downloadUrl = "http://before";
    window.filesToUpdate.insert("old", VersionEntry("9.9.9", "old"));
    window.serverFiles.insert("kept", VersionEntry("1.0.0", "kept"));

    QCOMPARE(window.queryUpgrade(), result);
    QCOMPARE(describe(window.filesToUpdate), toUpdate);
    QCOMPARE(describe(window.serverFiles), server);
    QCOMPARE(window.downloadUrl, url);
    QCOMPARE(answerer.boxes.size(), keyErrorBox ? 1 : 0);
    if (keyErrorBox) {
        QCOMPARE(answerer.boxes[0].title, QString("ERROR"));
        QCOMPARE(answerer.boxes[0].text, QString("Error Key!"));
    }
}

void tst_upgradequery::requestOnTheWire()
{
    ScriptedService service(200, "{}");
    pointConfigAt(service.server.url("/api/upgrade"));

    updateWindow window;
    window.token = "tok\u00e9n";
    QVERIFY(!window.queryUpgrade());

    const QList<ScriptedService::Received> received = service.takeReceived();
    QCOMPARE(received.size(), 1);
    const ScriptedService::Received &got = received[0];
    QCOMPARE(got.contentType, std::string("application/json"));
    QCOMPARE(got.request.keys(), QStringList({"key", "value"}));
    QVERIFY(QRegularExpression("^[0-9A-F]{256}$").match(got.request.value("key").toString()).hasMatch());
    QVERIFY(QRegularExpression("^[0-9A-F]+$").match(got.request.value("value").toString()).hasMatch());
    QCOMPARE(QString::fromStdString(got.inner),
             QString("{\n    \"system_type\": \"x86\",\n    \"token\": \"tok\u00e9n\"\n}\n"));
}

void tst_upgradequery::unusablePublicKey()
{
    ScriptedService service(200, "{\"files\": [{\"file_name\": \"a\", \"file_path\": \"a\"}]}");
    pointConfigAt(service.server.url("/api/upgrade"));

    MessageBoxAnswerer answerer;
    updateWindow window;
    window.token = "T";
    window.publicKey = "00";
    QVERIFY(!window.queryUpgrade());
    QVERIFY(answerer.boxes.isEmpty());
    QVERIFY(service.takeReceived().isEmpty());
}

void tst_upgradequery::builtInEndpoint_data()
{
    QTest::addColumn<QByteArray>("config"); // null: no config.xml
    QTest::addColumn<QString>("box");

    QTest::newRow("missing config.xml") << QByteArray() << "open config.xml failed!";
    QTest::newRow("broken config.xml") << QByteArray("<config><Update>") << "open config.xml as xml failed!";
    QTest::newRow("empty Update element") << QByteArray("<config><Update></Update></config>") << "";
}

void tst_upgradequery::builtInEndpoint()
{
    QFETCH(QByteArray, config);
    QFETCH(QString, box);

    if (!config.isNull())
        QVERIFY(writeFile(updaterDirectory() + "/config.xml", config));
    httplib::Server builtIn;
    std::atomic<int> posts{0};
    builtIn.Post("/api/upgrade", [&posts](const httplib::Request &, httplib::Response &) { ++posts; });
    if (!builtIn.bind_to_port("127.0.0.1", 8094))
        QSKIP("port 8094 is in use");
    std::thread thread([&builtIn] { builtIn.listen_after_bind(); });

    MessageBoxAnswerer answerer;
    updateWindow window;
    window.token = "T";
    const bool result = window.queryUpgrade();
    builtIn.stop();
    thread.join();

    QVERIFY(!result);
    QCOMPARE(posts.load(), 1);
    QCOMPARE(answerer.boxes.size(), box.isEmpty() ? 0 : 1);
    if (!box.isEmpty()) {
        QCOMPARE(answerer.boxes[0].title, QString("Error"));
        QCOMPARE(answerer.boxes[0].text, box);
    }
}

QTEST_MAIN(tst_upgradequery)
#include "tst_upgradequery.moc"
