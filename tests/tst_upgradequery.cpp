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
#include "protocol/signedrelease.h"
#include "protocol/upgradereply.h"
#include "tests/support/messageboxanswerer.h"
#include "tests/support/releaseservice.h"
#include "tests/support/scriptedservice.h"
#include "tests/support/testfiles.h"
#include "tests/support/testenvironment.h"

namespace {
const QString t = "2024-05-01T10:00:00";
const QString earlier = "2024-05-01T09:59:59";
const QString later = "2024-05-01T10:00:01";

// A file of the reply, as the service lists it.
QJsonObject listed(const QString &path, const QString &version, const QString &time = t)
{
    return {{"file_name", path.section('/', -1)}, {"file_path", path}, {"file_version", version}, {"modified_time", time}};
}

QStringList describe(const QMap<QString, VersionEntry> &entries)
{
    QStringList lines;
    for (auto it = entries.cbegin(); it != entries.cend(); ++it)
        lines << it.key() + "=" + it->version;
    return lines;
}

QStringList describe(const QMap<QString, RemoteFileEntry> &entries)
{
    QStringList lines;
    for (auto it = entries.cbegin(); it != entries.cend(); ++it)
        lines << it.key() + "=" + it->entry.version;
    return lines;
}

// Each file "path|version|time" of version.xml; an empty time stands for a file missing on disk.
QMap<QString, RemoteFileEntry> installedState(const QStringList &files)
{
    QMap<QString, RemoteFileEntry> installed;
    for (const QString &file : files) {
        const QStringList parts = file.split('|');
        installed.insert(parts[0], RemoteFileEntry(VersionEntry(parts[1], parts[0]),
                                                   QDateTime::fromString(parts[2], Qt::ISODate)));
    }
    return installed;
}
}

class tst_upgradequery : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void outOfDate_data();
    void outOfDate();
    void replyReading_data();
    void replyReading();
    void queryAgainstService_data();
    void queryAgainstService();
    void windowKeepsWhatTheReplyLacks_data();
    void windowKeepsWhatTheReplyLacks();
    void requestOnTheWire();
    void unusablePublicKey();
    void builtInEndpoint_data();
    void builtInEndpoint();
    void builtInEndpointOfTheBuild_data();
    void builtInEndpointOfTheBuild();

private:
    QScopedPointer<QTemporaryDir> root;
};

void tst_upgradequery::init()
{
    root.reset(new QTemporaryDir);
    QVERIFY(QDir(root->path()).mkdir("updater"));
    UpdaterEnvironment environment = testEnvironment(root->filePath("updater"));
    environment.releaseKeys.clear(); // the base exchange: the real update-service here signs nothing
    environment.queryLimits.retry.backoffBaseMs = 10; // failures that may pass are tried again quickly
    UpdaterEnvironment::setForTesting(environment);
}

void tst_upgradequery::cleanup()
{
    UpdaterEnvironment::setForTesting({});
}

void tst_upgradequery::outOfDate_data()
{
    QTest::addColumn<QJsonArray>("listing");
    QTest::addColumn<QStringList>("installed");
    QTest::addColumn<QStringList>("toUpdate");
    QTest::addColumn<QStringList>("offered");

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
    QTest::newRow("without file_path")
        << QJsonArray{QJsonObject{{"file_name", ""}, {"file_version", "1.0.0"}, {"modified_time", t}}}
        << QStringList{} << QStringList{"=1.0.0"} << QStringList{"=1.0.0"};
    // The update run refuses these; the query must not hide them from it.
    QTest::newRow("unsafe paths kept") << QJsonArray{listed("../outside", "1.0.0"), listed("/etc/x", "1.0.0")}
                                       << QStringList{} << QStringList{"../outside=1.0.0", "/etc/x=1.0.0"}
                                       << QStringList{"../outside=1.0.0", "/etc/x=1.0.0"};
    QTest::newRow("empty list") << QJsonArray{} << QStringList{"a|1.0.0|" + t} << QStringList{} << QStringList{};
}

void tst_upgradequery::outOfDate()
{
    QFETCH(QJsonArray, listing);
    QFETCH(QStringList, installed);

    const UpgradeReply reply = readUpgradeReply(QJsonObject{{"files", listing}});
    QTEST(describe(outOfDateFiles(reply.offered, installedState(installed))), "toUpdate");
    QTEST(describe(reply.offered), "offered");
}

void tst_upgradequery::replyReading_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("rejected");
    QTest::addColumn<bool>("hasDownloadUrl");
    QTest::addColumn<QString>("downloadUrl");
    QTest::addColumn<bool>("hasFiles");
    QTest::addColumn<QStringList>("offered");

    const QByteArray a = R"({"file_name": "a", "file_path": "a", "file_version": "1.0.0", "modified_time": "2024-05-01T10:00:00"})";
    const QByteArray listing = R"("download_url": "http://new", "files": [)" + a + "]";
    const QStringList aOnly{"a=1.0.0"};

    QTest::newRow("500 with files") << "{\"error_code\": 500, " + listing + "}" << true << false << "" << false << QStringList{};
    for (const char *code : {"0", "200", "401", "\"500\"", "500.5"}) {
        QTest::addRow("error_code %s ignored", code)
            << "{\"error_code\": " + QByteArray(code) + ", " + listing + "}" << false << true << "http://new" << true << aOnly;
    }
    QTest::newRow("no download_url") << "{\"files\": [" + a + "]}" << false << false << "" << true << aOnly;
    QTest::newRow("element without file_name")
        << R"({"files": [{"file_path": "b", "file_version": "1.0.0", "modified_time": "2024-05-01T10:00:00"}, )" + a + "]}"
        << false << false << "" << true << aOnly;
    QTest::newRow("element not an object") << "{\"files\": [3, \"b\", " + a + "]}" << false << false << "" << true << aOnly;
    QTest::newRow("members not strings")
        << QByteArray(R"({"files": [{"file_name": 1, "file_path": "a", "file_version": 100, "modified_time": 5}]})")
        << false << false << "" << true << QStringList{"a="};
    QTest::newRow("download_url not a string") << "{\"download_url\": 7, \"files\": [" + a + "]}"
                                               << false << true << "" << true << aOnly;
    QTest::newRow("no files member") << QByteArray(R"({"download_url": "http://new"})")
                                     << false << true << "http://new" << false << QStringList{};
    QTest::newRow("files not an array") << QByteArray(R"({"files": {"a": 1}})") << false << false << "" << true << QStringList{};
    QTest::newRow("top-level array") << "[{" + listing + "}]" << false << false << "" << false << QStringList{};
}

void tst_upgradequery::replyReading()
{
    QFETCH(QByteArray, reply);

    const UpgradeReply read = readUpgradeReply(QJsonDocument::fromJson(reply).object());
    QTEST(read.rejected, "rejected");
    QTEST(read.hasDownloadUrl, "hasDownloadUrl");
    QTEST(read.downloadUrl, "downloadUrl");
    QTEST(read.hasFiles, "hasFiles");
    QTEST(describe(read.offered), "offered");
}

void tst_upgradequery::queryAgainstService_data()
{
    QTest::addColumn<QString>("token");
    QTest::addColumn<bool>("signedRelease"); // published signed, and the updater holds the demo release key
    QTest::addColumn<QStringList>("installed"); // path|version|modification time on disk
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("toUpdate");
    QTest::addColumn<QString>("box");

    QTest::newRow("installed copy older") << "T" << false << QStringList{"a|1.0.0|" + earlier} << true << QStringList{"a=1.0.0"} << "";
    QTest::newRow("installed copy as old") << "T" << false << QStringList{"a|1.0.0|" + t} << false << QStringList{} << "";
    // The service authenticates its reply as the updater checks it.
    QTest::newRow("signed release") << "T" << true << QStringList{"a|1.0.0|" + earlier} << true << QStringList{"a=1.0.0"} << "";
    // The service refuses an empty token.
    QTest::newRow("token refused") << "" << false << QStringList{} << false << QStringList{} << "ERROR|Error Key!";
}

void tst_upgradequery::queryAgainstService()
{
    QFETCH(QString, token);
    QFETCH(bool, signedRelease);
    QFETCH(QStringList, installed);
    QFETCH(bool, result);
    QFETCH(QString, box);

    ReleaseService service(root->filePath("release"));
    if (signedRelease) {
        QVERIFY(service.publish({{"a", "1.0.0", "a", true, t}}));
        UpdaterEnvironment environment = UpdaterEnvironment::current();
        environment.releaseKeys = SignedRelease::keysFromHex(readFile(SOURCE_DIR "/service/demo-keys/release-public.hex"));
        QCOMPARE(environment.releaseKeys.size(), 1);
        UpdaterEnvironment::setForTesting(environment);
    } else {
        QVERIFY(service.publishListing(QJsonArray{QJsonObject{{"file_path", "a"}, {"file_version", "1.0.0"}, {"modified_time", t}}}));
    }
    QVERIFY(service.start());
    QVERIFY(writeConfigXml(Installation::updaterDirectory(), service.endpoint()));
    VersionManifest manifest;
    for (const QString &file : installed) {
        const QStringList parts = file.split('|');
        manifest.insert(parts[0], VersionEntry(parts[1], parts[0]));
        const QString path = Installation::installationDirectory() + parts[0];
        QVERIFY(writeFile(path, "installed"));
        QFile onDisk(path);
        QVERIFY(onDisk.open(QIODevice::ReadWrite));
        QVERIFY(onDisk.setFileTime(QDateTime::fromString(parts[2], Qt::ISODate), QFileDevice::FileModificationTime));
    }
    Manifest::writeTextFile(Manifest::versionManifestToXml(manifest), Installation::installationDirectory() + "version.xml");

    MessageBoxAnswerer answerer;
    updateWindow window;
    window.token = token;
    QCOMPARE(window.queryUpgrade(), result);
    QTEST(describe(window.filesToUpdate), "toUpdate");
    QCOMPARE(window.downloadUrl, box.isEmpty() ? QString("http://127.0.0.1:%1/files").arg(service.port()) : QString());
    QCOMPARE(answerer.boxes.size(), box.isEmpty() ? 0 : 1);
    if (!box.isEmpty())
        QCOMPARE(answerer.boxes[0].title + "|" + answerer.boxes[0].text, box);
}

// The window's members hold what the reply does not replace; the query's result says whether
// there is anything to download.
void tst_upgradequery::windowKeepsWhatTheReplyLacks_data()
{
    QTest::addColumn<int>("status"); // 0: nothing listens
    QTest::addColumn<bool>("encrypted");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QStringList>("toUpdate");
    QTest::addColumn<QStringList>("server");
    QTest::addColumn<QString>("url");

    const QStringList old{"old=9.9.9"};
    const QStringList kept{"kept=1.0.0"};
    const QString before = "http://before";
    const QByteArray a = R"({"file_name": "a", "file_path": "a", "file_version": "1.0.0", "modified_time": "2024-05-01T10:00:00"})";
    const QByteArray listing = R"("download_url": "http://new", "files": [)" + a + "]";

    QTest::newRow("files added to what the window lists") << 200 << true << "{\"files\": [" + a + "]}"
        << true << QStringList{"a=1.0.0"} << QStringList{"a=1.0.0", "kept=1.0.0"} << before;
    QTest::newRow("no files member") << 200 << true << QByteArray(R"({"download_url": "http://new"})")
                                     << false << old << kept << "http://new";
    QTest::newRow("files not an array") << 200 << true << QByteArray(R"({"files": {"a": 1}})")
                                        << false << QStringList{} << kept << before;
    QTest::newRow("not decryptable") << 200 << false << QByteArray("{" + listing + "}") << false << old << kept << before;
    QTest::newRow("HTTP error status") << 503 << true << "{" + listing + "}" << false << old << kept << before;
    QTest::newRow("connection refused") << 0 << true << QByteArray() << false << old << kept << before;
}

void tst_upgradequery::windowKeepsWhatTheReplyLacks()
{
    QFETCH(int, status);
    QFETCH(bool, encrypted);
    QFETCH(QByteArray, reply);

    ScriptedService service(status, reply, encrypted);
    // Port 1 is privileged: nothing listens there.
    QVERIFY(writeConfigXml(Installation::updaterDirectory(), status == 0 ? QString("http://127.0.0.1:1/api/upgrade") : service.endpoint()));

    MessageBoxAnswerer answerer;
    updateWindow window;
    window.token = "T";
    window.downloadUrl = "http://before";
    window.filesToUpdate.insert("old", VersionEntry("9.9.9", "old"));
    window.serverFiles.insert("kept", VersionEntry("1.0.0", "kept"));

    QTEST(window.queryUpgrade(), "result");
    QTEST(describe(window.filesToUpdate), "toUpdate");
    QTEST(describe(window.serverFiles), "server");
    QTEST(window.downloadUrl, "url");
    QCOMPARE(answerer.boxes.size(), 0);
}

void tst_upgradequery::requestOnTheWire()
{
    ScriptedService service(200, "{}");
    QVERIFY(writeConfigXml(Installation::updaterDirectory(), service.endpoint()));

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
    QVERIFY(writeConfigXml(Installation::updaterDirectory(), service.endpoint()));

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
        QVERIFY(writeFile(Installation::updaterDirectory() + "/config.xml", config));
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

void tst_upgradequery::builtInEndpointOfTheBuild_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("endpoint");

    QTest::newRow("host alone") << "" << "updates.example.com" << "http://updates.example.com:8094/api/upgrade";
    QTest::newRow("https URL, host unused")
        << "https://updates.example.com/v2/upgrade" << "127.0.0.1" << "https://updates.example.com/v2/upgrade";
}

void tst_upgradequery::builtInEndpointOfTheBuild()
{
    QFETCH(QString, url);
    QFETCH(QString, host);
    QTEST(Installation::builtInEndpoint(url, host), "endpoint");
}

QTEST_MAIN(tst_upgradequery)
#include "tst_upgradequery.moc"
