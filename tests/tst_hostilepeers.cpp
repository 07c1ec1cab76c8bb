#include <QtTest>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStorageInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <atomic>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/updaterenvironment.h"
#include "app/updatewindow.h"
#include "manifest/versionmanifest.h"
#include "tests/support/hostilebytes.h"
#include "tests/support/loopbackserver.h"
#include "tests/support/messageboxanswerer.h"
#include "tests/support/scriptedservice.h"
#include "tests/support/testfiles.h"
#include "tests/support/testenvironment.h"

// Whole in-process runs against peers that stall, flood or lie, in a build that checks no release
// signature: each run must end in time, stay small, touch nothing outside the installation and say so.
namespace {

// Every file below the folder, links not followed, with its bytes.
QMap<QString, QByteArray> snapshot(const QString &folder)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(path.mid(folder.size()), it.fileInfo().isFile() ? readFile(path) : QByteArray("<folder>"));
    }
    return files;
}

constexpr uid_t nobody = 65534;

// Runs the shell command as an unprivileged other user; false when it fails.
bool asNobody(const QString &command)
{
    const QByteArray script = command.toUtf8();
    const char *argv[] = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "sh", "-c", script.constData(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, "/"); // the test's current folder may be gone
    pid_t child;
    int status = 0;
    const bool started = posix_spawnp(&child, argv[0], &actions, nullptr, const_cast<char **>(argv), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    return started && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Whether a temporary file has been made anywhere below the folder.
bool holdsTempFile(const QString &folder)
{
    QDirIterator it(folder, {"*.tmp"}, QDir::Files, QDirIterator::Subdirectories);
    return it.hasNext();
}

} // namespace

class tst_hostilepeers : public QObject
{
    Q_OBJECT

private slots:
    void hostilePeer_data();
    void hostilePeer();
};

void tst_hostilepeers::hostilePeer_data()
{
    QTest::addColumn<QString>("peer");
    QTest::addColumn<QStringList>("offered"); // the reply's files
    QTest::addColumn<int>("boundMs");         // what the run may take by its bounds
    QTest::addColumn<QString>("box");         // the Error box's text as a pattern; empty: none
    QTest::addColumn<QString>("logLine");     // a line the updater's log must hold, after the time; empty: none
    QTest::addColumn<bool>("installs");       // a.txt and a fresh version.xml; otherwise both as they were

    const QStringList a{"a.txt"};
    const QString query = "query http://127\\.0\\.0\\.1:\\d+/api/upgrade: ";
    const QString failedA = "download file \\[a\\.txt\\] failed!";
    QTest::newRow("trickling reply") << "trickling reply" << a << 2500 << ""
                                     << query + "failed: No complete reply within 2\\.5 seconds" << false;
    QTest::newRow("gzip bomb") << "gzip bomb" << a << 1000 << ""
                               << query + "failed: The reply came encoded as gzip although it was asked for unencoded" << false;
    QTest::newRow("trickling download") << "trickling download" << a << 3 * 1500 + 700 << ".+: " + failedA
                                        << "file a\\.txt: download failed: .+" << false;
    QTest::newRow("endless download") << "endless download" << a << 2000 << ".+: " + failedA
                                      << "file a\\.txt: download failed: .+" << false;
    QTest::newRow("deep version.xml") << "deep version.xml" << a << 1000 << "" << "version\\.xml: written" << true;
    QTest::newRow("linked folder") << "linked folder" << QStringList{"plugins/evil.dll", "a.txt"} << 1000
                                   << "Error: cover file \\[plugins/evil\\.dll\\] failed!"
                                   << "file plugins/evil\\.dll: could not be put in place" << false;
    QTest::newRow("linked tmps") << "linked tmps" << a << 1000 << "no temporary file could be made: " + failedA
                                 << "file a\\.txt: download failed: no temporary file could be made" << false;
    // Someone who may write into tmps, as a loose installation folder allows, tries to make the
    // administrator's run write outside the installation or install a link of theirs.
    for (const char *attack : {"planted link", "swapped link", "swapped hard link"})
        QTest::newRow(attack) << attack << a << 1000 << "" << "version\\.xml: written" << true;
    QTest::newRow("rich reason phrase") << "rich reason phrase" << a << 1000 << ".+: " + failedA
                                        << "file a\\.txt: download failed: .+" << false;
    QTest::newRow("log is a FIFO") << "log is a FIFO" << a << 1000 << "" << "" << true;
    // The first answer is cut after "new"; the next, asked for the rest, says it is the part named.
    QTest::newRow("resumed with the rest") << "resumed bytes 3-5/6" << a << 1000 << "" << "version\\.xml: written" << true;
    for (const char *range : {"bytes 3-4/6", "bytes 3-5/*", "bytes 3-5/7"})
        QTest::addRow("resumed with %s", range) << QString("resumed ") + range << a << 1000 << ".+: " + failedA
                                                << "file a\\.txt: download failed: .+" << false;
    // The log writes what a name holds, escaped: neither a new line nor text turned around.
    const QString override(QChar(0x202e));
    for (const QString &path : {QString("a\nb.txt"), "a" + override + "\rb.txt", QString("a") + QChar(0) + "b", QString("plugins/aux.dll")}) {
        QString logged = QRegularExpression::escape(path);
        logged.replace("\\\n", "\\\\x0a").replace("\\\r", "\\\\x0d").replace("\\0", "\\\\x00").replace("\\" + override, "\\\\u202e");
        QTest::addRow("path %s", qPrintable(QString(path).replace('\n', "\\n").replace('\r', "\\r").replace(QChar(0), "\\0").replace(override, "\\u202e")))
            << "bad path" << QStringList{path} << 1000
            << "unsafe file path: download file \\[" + QRegularExpression::escape(path) + "\\] failed!"
            << "file " + logged + ": download failed: unsafe file path" << false;
    }
}

void tst_hostilepeers::hostilePeer()
{
    QFETCH(QString, peer);
    QFETCH(QStringList, offered);
    QFETCH(int, boundMs);
    QFETCH(QString, box);
    QFETCH(QString, logLine);
    QFETCH(bool, installs);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString install = dir.filePath("install/");
    const QString outside = dir.filePath("outside/");
    QVERIFY(writeFile(install + "a.txt", "old a\n"));
    QVERIFY(writeFile(outside + "x.tmp", "canary\n"));
    Manifest::writeTextFile(Manifest::versionManifestToXml({{"a.txt", VersionEntry("1.0.0", "a.txt")}}), install + "version.xml");
    if (peer == "log is a FIFO") // read by no one: opening it for writing as a file waits forever
        QVERIFY(QDir().mkpath(install + "updater") && ::mkfifo(QFile::encodeName(install + "updater/update.log").constData(), 0600) == 0);
    if (peer == "deep version.xml")
        QVERIFY(writeFile(install + "version.xml", QByteArray("<a>").repeated(50000)));
    if (peer == "linked folder" || peer == "linked tmps")
        QVERIFY(QFile::link(outside, install + (peer == "linked folder" ? "plugins" : "tmps")));
    const QDateTime moment(QDate(2026, 3, 4), QTime(5, 6, 7, 89));
    const bool attacked = peer.contains(" link");
    QString attack; // what the other user runs while a.txt downloads
    if (attacked) {
        if (::geteuid() != 0)
            QSKIP("acting as another user needs root");
        QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7755)));
        QVERIFY(QDir().mkpath(install + "tmps"));
        QVERIFY(QFile::setPermissions(install + "tmps", QFileDevice::Permissions(0x7777)));
        QVERIFY(writeFile(outside + "mine.tmp", "the other user's own\n"));
        QVERIFY(::chown(QFile::encodeName(outside).constData(), nobody, nobody) == 0);
        QVERIFY(::chown(QFile::encodeName(outside + "mine.tmp").constData(), nobody, nobody) == 0);
        if (peer == "planted link") {
            for (const QString &name : {QString(".tmp"), QString("_1.tmp")})
                QVERIFY(asNobody("ln -s '" + outside + "planted' '" + install + "tmps/2026-03-04-05-06-07-089" + name + "'"));
        }
        const QString swap = peer == "swapped link" ? "ln -sf '" + outside + "x.tmp'" : "ln -f '" + outside + "mine.tmp'";
        attack = "find '" + install + "tmps' -name '*.tmp' | while read f; do " + swap + " \"$f\"; done";
    }

    UpdaterEnvironment environment = testEnvironment(install + "updater");
    environment.releaseKeys = {};
    environment.queryLimits.stallTimeoutMs = 1000;
    environment.queryLimits.deadlineMs = 2500;
    environment.downloadLimits.stallTimeoutMs = 1000;
    environment.downloadLimits.slowWindowMs = 1500;
    environment.downloadLimits.minBytesPerSecond = 1024;
    environment.downloadLimits.minFreeDiskBytes = 64 * 1024 * 1024;
    // A failure that may pass is tried again: three attempts, 0.2 s apart and more, count in the bounds.
    environment.downloadLimits.retry.maxAttempts = 3;
    environment.downloadLimits.retry.backoffBaseMs = 200;
    environment.fixedTime = moment;
    if (peer == "endless download") // the run stops about 32 MiB on
        environment.downloadLimits.minFreeDiskBytes = QStorageInfo(dir.path()).bytesAvailable() - 32 * 1024 * 1024;
    UpdaterEnvironment::setForTesting(environment);

    std::atomic<bool> stopping{false}; // ends every endless answer at teardown
    const auto trickle = [&](size_t, httplib::DataSink &sink) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return !stopping && sink.write("x", 1);
    };
    LoopbackServer files;
    files.setHandler([&](const httplib::Request &request, httplib::Response &response) {
        if (peer.startsWith("resumed ")) {
            response.set_header("ETag", "\"v\"");
            if (!request.has_header("Range"))
                return response.set_content_provider(6, "application/octet-stream", [](size_t, size_t, httplib::DataSink &sink) {
                    sink.write("new", 3);
                    return false;
                });
            const QString range = peer.section(' ', 1);
            const int last = range.section('-', 1).section('/', 0, 0).toInt(); // the bytes from 3 to it are sent
            const_cast<httplib::Request &>(request).ranges.clear(); // answered as the row says, not by the library
            response.status = 206;
            response.set_header("Content-Range", range.toStdString());
            return response.set_content(std::string("new a\n").substr(3, last - 2), "application/octet-stream");
        }
        if (peer == "trickling download")
            return response.set_chunked_content_provider("application/octet-stream", trickle);
        if (peer == "swapped link" || peer == "swapped hard link") {
            // Between the first bytes and the last, once the file exists.
            return response.set_content_provider(6, "application/octet-stream", [&](size_t offset, size_t, httplib::DataSink &sink) {
                if (offset > 0) {
                    QDeadlineTimer made(5000);
                    while (!holdsTempFile(install + "tmps") && !made.hasExpired())
                        std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    asNobody(attack);
                }
                return offset == 0 ? sink.write("new ", 4) : sink.write("a\n", 2);
            });
        }
        if (peer != "endless download")
            return response.set_content("new a\n", "application/octet-stream");
        response.set_chunked_content_provider("application/octet-stream", [&](size_t offset, httplib::DataSink &sink) {
            static const std::string block(64 * 1024, 'e');
            return !stopping && offset < (size_t(2) << 30) && sink.write(block.data(), block.size()); // 2 GiB at most
        });
    });
    files.start();
    QTcpServer rawFiles; // a reason phrase that no server library sends
    QVERIFY(rawFiles.listen(QHostAddress::LocalHost));
    connect(&rawFiles, &QTcpServer::newConnection, &rawFiles, [&rawFiles] {
        QTcpSocket *socket = rawFiles.nextPendingConnection();
        connect(socket, &QTcpSocket::readyRead, socket, [socket] {
            socket->readAll();
            socket->write("HTTP/1.1 404 <h1>Moved</h1><a href=\"file:///etc/passwd\">open</a><img src=\"file:///x.png\">\r\n"
                          "Content-Length: 0\r\nConnection: close\r\n\r\n");
            socket->disconnectFromHost();
        });
    });
    const QString filesUrl = peer == "rich reason phrase" ? QString("http://127.0.0.1:%1/files").arg(rawFiles.serverPort())
                                                          : files.url("/files");
    QJsonArray listed;
    for (const QString &path : offered)
        listed << QJsonObject{{"file_name", path}, {"file_path", path}, {"file_version", "2.0.0"}, {"modified_time", "2020-01-01T00:00:00"}};
    ScriptedService service(200, QJsonDocument(QJsonObject{{"download_url", filesUrl}, {"files", listed}}).toJson());
    LoopbackServer rawService;
    const std::string bomb = peer == "gzip bomb" ? gzipOfZeros(qint64(256) << 20) : std::string();
    rawService.setHandler([&](const httplib::Request &, httplib::Response &response) {
        if (peer == "trickling reply")
            return response.set_chunked_content_provider("text/plain", trickle);
        response.set_header("Content-Encoding", "gzip");
        response.set_content(bomb, "text/plain");
    });
    rawService.start();
    const bool raw = peer == "trickling reply" || peer == "gzip bomb";
    QVERIFY(writeFile(install + "updater/config.xml", "<Config><Update>" + (raw ? rawService.url("/api/upgrade") : service.endpoint()).toUtf8()
                                                          + "</Update><Log>update.log</Log></Config>\n"));
    const QByteArray versionBefore = readFile(install + "version.xml");
    const QMap<QString, QByteArray> outsideBefore = snapshot(outside);

    QVERIFY(resetPeakMemory());
    QElapsedTimer clock;
    clock.start();
    MessageBoxAnswerer answerer;
    {
        updateWindow window;
        window.token = "T";
        window.show();
        window.runUpdate();
        window.clearTempFolder(); // as the run started from the window does
    }
    const qint64 elapsed = clock.elapsed();
    const qint64 peakKiB = peakMemoryKiB();
    stopping = true;
    UpdaterEnvironment::setForTesting({});
    qInfo("%s: %lld ms, peak %lld KiB", qPrintable(peer), elapsed, peakKiB);

    QVERIFY2(elapsed < boundMs + 3000, qPrintable(QString::number(elapsed)));
#ifndef __SANITIZE_ADDRESS__ // its shadow memory and quarantine count too; the plain build holds the bound
    QVERIFY2(peakKiB > 0 && peakKiB < 100 * 1024, qPrintable(QString::number(peakKiB)));
#endif
    QCOMPARE(snapshot(outside), outsideBefore);
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System),
             (QStringList{"install", "outside"}));
    QStringList boxes;
    for (const MessageBoxAnswerer::Box &shown : answerer.boxes) {
        boxes << shown.title + "|" + shown.text;
        QVERIFY2(shown.plain, qPrintable(shown.text));
    }
    QVERIFY2(QRegularExpression("^" + (box.isEmpty() ? QString() : "Error\\|" + box) + "$").match(boxes.join('\n')).hasMatch(),
             qPrintable(boxes.join('\n')));
    if (!logLine.isEmpty()) { // empty: the log is no file to read
        QStringList logged;
        for (const QString &line : QString::fromUtf8(readFile(install + "updater/update.log")).split('\n', Qt::SkipEmptyParts))
            logged << line.section(' ', 1);
        QVERIFY2(!logged.filter(QRegularExpression("^" + logLine + "$")).isEmpty(), qPrintable(logged.join('\n')));
    }
    if (!QFileInfo(install + "tmps").isSymLink())
        QCOMPARE(QDir(install + "tmps").entryList(QDir::Files), QStringList());
    if (!installs) {
        QCOMPARE(readFile(install + "version.xml"), versionBefore);
        QCOMPARE(readFile(install + "a.txt"), QByteArray(peer == "linked folder" ? "new a\n" : "old a\n"));
        return;
    }
    QCOMPARE(readFile(install + "a.txt"), QByteArray("new a\n"));
    struct stat installed;
    QVERIFY(::lstat(QFile::encodeName(install + "a.txt").constData(), &installed) == 0);
    QVERIFY(S_ISREG(installed.st_mode) && installed.st_nlink == 1); // never a link of anyone's
    QCOMPARE(Manifest::readVersionManifest(install + "version.xml")["a.txt"].version, QString("2.0.0"));
}

QTEST_MAIN(tst_hostilepeers)
#include "tst_hostilepeers.moc"
