#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QtTest>

#include "service/reportstore.h"
#include "service/rollout.h"
#include "tests/support/releaseservice.h"
#include "tests/support/slowsecondfileserver.h"
#include "tests/support/loopbackserver.h"
#include "tests/support/testfiles.h"
#include "tests/support/tlsfileserver.h"
#include "tests/support/xvfbdisplay.h"

#include <atomic>
#include <csignal>
#include <memory>
#include <mutex>
#include <sys/stat.h>

// Whole update runs of the real programs: the updater copied into a temporary installation, the
// launcher handing it the token, the update service answering, a stand-in main application.
namespace {

using Snapshot = FileSnapshot;

// version.xml as the updater must write it: entries (path, version) in key order.
QByteArray manifestBytes(const QList<QPair<QString, QString>> &entries)
{
    QStringList files;
    for (const auto &entry : entries)
        files << QString("<FILE version=\"%1\">%2</FILE>").arg(entry.second, entry.first);
    QString text = "<?xml version = \"1.0\"?>\r\n\r\n<Trelvox>\r\n<COUNT>"
        + QString::number(entries.size()) + "</COUNT>\r\n\r\n<FILES>";
    text += files.isEmpty() ? "</FILES>" : "\r\n" + files.join("\r\n\r\n") + "\r\n</FILES>";
    return (text + "\r\n</Trelvox>\r\n\r\n").toUtf8();
}

// An updater left behind by a failed case must not live on; it is known by its executable.
void killUpdatersOf(const QString &executable)
{
    for (const QString &pid : QDir("/proc").entryList(QDir::Dirs)) {
        if (QFileInfo(QString("/proc/%1/exe").arg(pid)).symLinkTarget() == executable)
            ::kill(pid_t(pid.toLongLong()), SIGKILL);
    }
}

const QByteArray oldManifest = manifestBytes({{"a.txt", "1.0.0"}, {"current.txt", "1.0.0"}, {"old.txt", "0.1.0"}});

} // namespace

class tst_updatecycle : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void allFilesFine_data();
    void allFilesFine();
    void runningMainApplicationEndedBeforeQuery();
    void nothingToUpdate();
    void rejectedRequest();
    void secondDownloadFails_data();
    void secondDownloadFails();
    void windowClosedDuringSecondDownload();
    void serviceUnreachable();
    void filesOverTls_data();
    void filesOverTls();
    void unsafePathRefused_data();
    void unsafePathRefused();
    void killedAnywhereLeavesEveryFileWhole();
    void journalLeftBehind_data();
    void journalLeftBehind();
    void releaseTimesHoldInEveryZone_data();
    void releaseTimesHoldInEveryZone();
    void failedSwapHaltsTheRollout();

private:
    QString root(const QString &name = QString()) const { return dir->filePath(name); }
    QString installed(const QString &name = QString()) const { return root("install/" + name); }

    bool startService(const QList<ReleaseService::File> &files, const QStringList &extraArguments = {});
    bool pointConfigAt(const QString &endpoint) { return writeConfigXml(installed("updater"), endpoint); }
    bool launch(const QString &token, const QString &timeZone = QString());
    bool finishes(int timeoutMs = 30000);
    bool answerBox(const QString &title);
    void runLeavesInstallationAlone(const QString &boxTitle = QString(), const Snapshot &added = {},
                                    int timeoutMs = 30000);
    QStringList mainApplicationStarts() const;
    bool tmpsHoldsNoFile() const;

    XvfbDisplay display;
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<ReleaseService> service;
    QProcess launcher;
    QList<qint64> ownStandIns;
};

void tst_updatecycle::initTestCase()
{
    QVERIFY2(display.isRunning(), "Xvfb did not start");
}

void tst_updatecycle::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    QVERIFY(QDir().mkpath(installed("updater")));
    QVERIFY(QFile::copy(UPDATER_BIN, installed("updater/updater")));

    // Records each start (process id, working directory, number of arguments, two variables the
    // updater sets for itself), then stays up a while as the real application would, so that
    // ending it can be observed.
    const QByteArray standIn = "#!/bin/sh\n"
                               "echo \"$$ $(pwd -P) $# ${TZ-unset} ${QT_XCB_GL_INTEGRATION-unset}\" >> '" + root("starts.txt").toUtf8() + "'\n"
                               "i=0\n"
                               "while [ $i -lt 60 ]; do sleep 1; i=$((i + 1)); done\n";
    QVERIFY(writeFile(installed("Trelvox.exe"), standIn));
    QVERIFY(QFile::setPermissions(installed("Trelvox.exe"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    QVERIFY(writeFile(installed("version.xml"), oldManifest));
    QVERIFY(writeFile(installed("a.txt"), "old a\n"));
    QVERIFY(writeFile(installed("current.txt"), "current\n"));
    QVERIFY(writeFile(installed("old.txt"), "old\n"));
}

void tst_updatecycle::cleanup()
{
    if (launcher.state() != QProcess::NotRunning) {
        launcher.kill();
        launcher.waitForFinished();
    }
    service.reset();
    killUpdatersOf(QFileInfo(installed("updater/updater")).canonicalFilePath());
    for (const QString &line : mainApplicationStarts())
        ownStandIns << line.section(' ', 0, 0).toLongLong();
    for (qint64 pid : qAsConst(ownStandIns))
        ::kill(pid_t(pid), SIGKILL);
    ownStandIns.clear();
    dir.reset();
}

bool tst_updatecycle::startService(const QList<ReleaseService::File> &files, const QStringList &extraArguments)
{
    service = std::make_unique<ReleaseService>(root("release"));
    return service->publish(files) && service->start(extraArguments) && pointConfigAt(service->endpoint());
}

bool tst_updatecycle::launch(const QString &token, const QString &timeZone)
{
    QProcessEnvironment environment = display.environment();
    if (!timeZone.isEmpty())
        environment.insert("TZ", timeZone);
    launcher.setProcessEnvironment(environment);
    launcher.setWorkingDirectory(root());
    launcher.setProcessChannelMode(QProcess::ForwardedChannels); // what went wrong shows in the log
    launcher.start(UPDATER_LAUNCH_BIN, {"--token", token, installed("updater/updater")});
    return launcher.waitForStarted(10000);
}

bool tst_updatecycle::finishes(int timeoutMs)
{
    if (launcher.waitForFinished(timeoutMs))
        return launcher.exitStatus() == QProcess::NormalExit;
    launcher.kill();
    launcher.waitForFinished();
    return false;
}

bool tst_updatecycle::answerBox(const QString &title)
{
    const QStringList boxes = display.waitForWindows("^" + title + "$", 20000);
    return boxes.size() == 1 && display.pressKey(boxes.first(), "Return");
}

QStringList tst_updatecycle::mainApplicationStarts() const
{
    if (!QFileInfo::exists(root("starts.txt")))
        return {}; // not started yet
    return QString::fromUtf8(readFile(root("starts.txt"))).split('\n', Qt::SkipEmptyParts);
}

bool tst_updatecycle::tmpsHoldsNoFile() const
{
    return QDir(installed("tmps")).entryList(QDir::Files | QDir::Hidden).isEmpty();
}

void tst_updatecycle::allFilesFine_data()
{
    QTest::addColumn<bool>("mainApplicationNew");
    QTest::newRow("main application replaced, keeps its bits") << false;
    // On POSIX the bit comes from the signed listing: without it the new program could not start.
    QTest::newRow("main application new, arrives executable") << true;
}

void tst_updatecycle::allFilesFine()
{
    QFETCH(bool, mainApplicationNew);
    QByteArray binary(300 * 1024, '\0');
    for (int i = 0; i < binary.size(); ++i)
        binary[i] = char((qint64(i) * 7919) >> 3);
    // The main application itself is replaced, and the new one must start: no handle may still
    // be open for writing it then.
    const QByteArray newStandIn = readFile(installed("Trelvox.exe")) + "# 2.0.0\n";
    if (mainApplicationNew)
        QVERIFY(QFile::remove(installed("Trelvox.exe")));
    const QList<ReleaseService::File> release = {
        {"Trelvox.exe", "2.0.0", newStandIn, true, "2020-01-01T00:00:00", true},
        {"a.txt", "2.0.0", "new a\n"},
        {"c.txt", "2.0.0", ""}, // an empty file installs too
        {"current.txt", "1.0.0", "current\n"}, // installed copy is newer: not fetched
        {"data/nested/b.bin", "2.0.1", binary},
    };
    QVERIFY(writeFile(installed("current.txt"), "installed current\n")); // proves it is not fetched
    // With "tmps" in place the updater stays in the launcher's folder, which has a "tmps" of its
    // own: the main application must still start in the installation, and only its "tmps" empties.
    QVERIFY(QDir().mkpath(installed("tmps")));
    QVERIFY(writeFile(root("tmps/not-ours.tmp"), "keep\n"));
    QVERIFY(startService(release));

    QVERIFY(launch("e2e-token"));
    QVERIFY(finishes());
    QCOMPARE(launcher.exitCode(), 0);

    QCOMPARE(readFile(installed("a.txt")), QByteArray("new a\n"));
    QVERIFY(QFileInfo::exists(installed("c.txt")));
    QCOMPARE(readFile(installed("c.txt")), QByteArray());
    QCOMPARE(readFile(installed("data/nested/b.bin")), binary);
    QCOMPARE(readFile(installed("current.txt")), QByteArray("installed current\n"));
    QCOMPARE(readFile(installed("version.xml")),
             manifestBytes({{"Trelvox.exe", "2.0.0"}, {"a.txt", "2.0.0"}, {"c.txt", "2.0.0"}, {"current.txt", "1.0.0"},
                            {"data/nested/b.bin", "2.0.1"}}));
    QCOMPARE(readFile(installed("Trelvox.exe")), newStandIn);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    const auto mode = [](const QString &path) {
        struct stat status;
        return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_mode & 0777 : 01000;
    };
    QCOMPARE(mode(installed("Trelvox.exe")), mainApplicationNew ? 0777 & ~mask : 0700u);
    QCOMPARE(mode(installed("c.txt")), 0666 & ~mask); // new, and readable as any new file
    QVERIFY(tmpsHoldsNoFile());
    QVERIFY(QFileInfo::exists(root("tmps/not-ours.tmp")));

    QTRY_COMPARE_WITH_TIMEOUT(mainApplicationStarts().size(), 1, 10000);
    const QStringList start = mainApplicationStarts().first().split(' ');
    QCOMPARE(start.value(1), QDir(installed()).canonicalPath());
    QCOMPARE(start.value(2), QString("0"));
    // The main application gets the environment the updater was started with, not the updater's.
    QCOMPARE(start.value(3), qEnvironmentVariable("TZ", "unset"));
    QCOMPARE(start.value(4), qEnvironmentVariable("QT_XCB_GL_INTEGRATION", "unset"));
}

void tst_updatecycle::runningMainApplicationEndedBeforeQuery()
{
    qint64 pid = 0;
    QVERIFY(QProcess::startDetached(installed("Trelvox.exe"), {}, installed(), &pid));
    ownStandIns << pid;
    QTRY_COMPARE_WITH_TIMEOUT(mainApplicationStarts().size(), 1, 10000);

    // The endpoint notes whether the application still ran when the query came, then fails it.
    std::atomic<int> queries{0};
    std::atomic<bool> runningAtQuery{true};
    LoopbackServer endpoint;
    endpoint.http().Post("/api/upgrade", [&](const httplib::Request &, httplib::Response &response) {
        runningAtQuery = processRunning(pid);
        ++queries;
        response.status = 404;
    });
    endpoint.start();
    QVERIFY(pointConfigAt(endpoint.url("/api/upgrade")));

    const Snapshot before = snapshotFiles(installed());
    QVERIFY(launch("e2e-token"));
    QVERIFY(finishes());
    QCOMPARE(launcher.exitCode(), 0);
    QCOMPARE(queries.load(), 1);
    QVERIFY(!runningAtQuery);
    QVERIFY(!processRunning(pid));
    QCOMPARE(snapshotFiles(installed()), before);
    QTest::qWait(500);
    QCOMPARE(mainApplicationStarts().size(), 1);
}

// The updater runs with a token, its box (if any) is answered, and it ends with status 0 leaving
// the installation as it was (but for the files added) and the main application not started.
void tst_updatecycle::runLeavesInstallationAlone(const QString &boxTitle, const Snapshot &added, int timeoutMs)
{
    Snapshot before = snapshotFiles(installed());
    before.insert(added);
    QVERIFY(launch("e2e-token"));
    if (!boxTitle.isEmpty())
        QVERIFY(answerBox(boxTitle));
    QVERIFY(finishes(timeoutMs));
    QCOMPARE(launcher.exitCode(), 0);
    QCOMPARE(snapshotFiles(installed()), before);
    QTest::qWait(500);
    QVERIFY(mainApplicationStarts().isEmpty());
}

void tst_updatecycle::nothingToUpdate()
{
    QVERIFY(startService({{"current.txt", "1.0.0", "current\n"}}));
    // The listing it matches is recorded: an older one replayed later is refused.
    runLeavesInstallationAlone(QString(), {{"release.state", "1\n"}});
}

void tst_updatecycle::rejectedRequest()
{
    QVERIFY(writeFile(root("tokens.txt"), "someone-else\n"));
    QVERIFY(startService({{"a.txt", "2.0.0", "new a\n"}}, {"--tokens", root("tokens.txt")}));
    runLeavesInstallationAlone("ERROR");
}

void tst_updatecycle::secondDownloadFails_data()
{
    QTest::addColumn<QString>("token");
    QTest::addColumn<QString>("restart"); // config.xml's Restart
    QTest::addColumn<bool>("started");
    QTest::newRow("NoToken starts the application") << "NoToken" << "" << true;
    QTest::newRow("a user's token does not") << "e2e-token" << "" << false;
    QTest::newRow("the rule minds letter case") << "notoken" << "" << false;
    QTest::newRow("a user's token, Restart always") << "e2e-token" << "always" << true;
}

void tst_updatecycle::secondDownloadFails()
{
    QFETCH(QString, token);
    QFETCH(QString, restart);
    QFETCH(bool, started);
    QVERIFY(startService({{"a.txt", "2.0.0", "new a\n"},
                          {"b.txt", "2.0.0", "never there\n", false},
                          {"c.txt", "2.0.0", "new c\n"}}));
    if (!restart.isEmpty())
        QVERIFY(writeFile(installed("updater/config.xml"), "<Config><Update>" + service->endpoint().toUtf8()
                                                               + "</Update><Restart>" + restart.toUtf8() + "</Restart></Config>\n"));

    QVERIFY(launch(token));
    QVERIFY(answerBox("Error"));
    QVERIFY(finishes()); // a second box would hold the run
    QCOMPARE(launcher.exitCode(), 0);

    // A signed release goes in whole or not at all.
    QCOMPARE(readFile(installed("a.txt")), QByteArray("old a\n"));
    QVERIFY(!QFileInfo::exists(installed("b.txt")));
    QVERIFY(!QFileInfo::exists(installed("c.txt")));
    QCOMPARE(readFile(installed("version.xml")), oldManifest);
    QVERIFY(tmpsHoldsNoFile());
    if (started) {
        QTRY_COMPARE_WITH_TIMEOUT(mainApplicationStarts().size(), 1, 10000);
    } else {
        QTest::qWait(500);
        QVERIFY(mainApplicationStarts().isEmpty());
    }
}

void tst_updatecycle::windowClosedDuringSecondDownload()
{
    SlowSecondFileServer files;
    QVERIFY(startService({{"a.txt", "2.0.0", "new a\n"}, {"b.bin", "2.0.0", QByteArray::fromStdString(files.slowBody)},
                          {"c.txt", "2.0.0", "new c\n"}},
                         {"--download-url", files.baseUrl()}));

    QVERIFY(launch("NoToken"));
    const QStringList windows = display.waitForWindows("^update$", 20000);
    QCOMPARE(windows.size(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(files.secondStarted, 20000);
    QCOMPARE(display.run(WM_DELETE_WINDOW_BIN, {windows.first()}), QString(""));

    QVERIFY(finishes()); // a box would hold the run
    QCOMPARE(launcher.exitCode(), 0);
    QVERIFY(!files.thirdRequested);
    QCOMPARE(readFile(installed("a.txt")), QByteArray("old a\n"));
    QVERIFY(!QFileInfo::exists(installed("b.bin")));
    QVERIFY(!QFileInfo::exists(installed("c.txt")));
    QCOMPARE(readFile(installed("version.xml")), oldManifest);
    QVERIFY(tmpsHoldsNoFile());
    QTest::qWait(500);
    QVERIFY(mainApplicationStarts().isEmpty());
}

void tst_updatecycle::serviceUnreachable()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 port = probe.serverPort();
    probe.close();
    QVERIFY(pointConfigAt(QString("http://127.0.0.1:%1/api/upgrade").arg(port)));
    // After every attempt the query allows, some 30 s of backoff.
    runLeavesInstallationAlone(QString(), {}, 90000);
}

// Files from nginx over TLS, the updater trusting a company's own authority through SSL_CERT_FILE.
void tst_updatecycle::filesOverTls_data()
{
    QTest::addColumn<bool>("signedByAuthority");
    QTest::newRow("certificate of the trusted authority: installs") << true;
    QTest::newRow("certificate no authority signed: refused, nothing changed") << false;
}

void tst_updatecycle::filesOverTls()
{
    QFETCH(bool, signedByAuthority);
    TlsFileServer files;
    QVERIFY2(files.start(root("release"), signedByAuthority), qPrintable(files.errorString()));
    QVERIFY(startService({{"a.txt", "2.0.0", "new a\n"}}, {"--download-url", files.url()}));
    qputenv("SSL_CERT_FILE", files.authorityFile().toUtf8());
    if (signedByAuthority) {
        QVERIFY(launch("e2e-token"));
        QVERIFY(finishes());
        QCOMPARE(readFile(installed("a.txt")), QByteArray("new a\n"));
    } else {
        runLeavesInstallationAlone("Error");
    }
    qunsetenv("SSL_CERT_FILE");
}

void tst_updatecycle::unsafePathRefused_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("parent first") << "../evil.txt";
    QTest::newRow("parent inside") << "data/../../evil.txt";
}

void tst_updatecycle::unsafePathRefused()
{
    QFETCH(QString, path);
    // The file server hands out bytes for any path: only the updater can keep them out.
    std::mutex lock;
    QStringList requested;
    LoopbackServer files;
    files.http().Get(".*", [&](const httplib::Request &request, httplib::Response &response) {
        std::lock_guard<std::mutex> guard(lock);
        requested << QString::fromStdString(request.path);
        response.set_content(request.path == "/files/a.txt" ? "new a\n" : "evil\n", "text/plain");
    });
    files.start();
    QVERIFY(startService({{path, "6.6.6", "", false}, {"a.txt", "2.0.0", "new a\n"}},
                         {"--download-url", files.url("/files")}));
    const QStringList outside = QDir(root()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

    QVERIFY(launch("e2e-token"));
    QVERIFY(answerBox("Error"));
    QVERIFY(finishes());
    QCOMPARE(launcher.exitCode(), 0);

    {
        // The release cannot go in without the refused file, so nothing after it is fetched.
        std::lock_guard<std::mutex> guard(lock);
        QCOMPARE(requested, path < "a.txt" ? QStringList() : QStringList{"/files/a.txt"});
    }
    QCOMPARE(QDir(root()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), outside);
    QCOMPARE(readFile(installed("a.txt")), QByteArray("old a\n"));
    QCOMPARE(readFile(installed("version.xml")), oldManifest);
    QTest::qWait(500);
    QVERIFY(mainApplicationStarts().isEmpty());
}

// Killed at random moments, the updater leaves every file whole in its old or its new form; the
// next start finishes or undoes what was cut short, so that the installation is then wholly the old
// or wholly the new release, and a run that is let finish completes the update.
void tst_updatecycle::killedAnywhereLeavesEveryFileWhole()
{
    QList<ReleaseService::File> release;
    Snapshot before;
    Snapshot after;
    // Many files, so that the step that moves them in takes long enough to be hit.
    for (int i = 0; i < 800; ++i) {
        const QString path = QString("many/f%1.dat").arg(i, 3, 10, QChar('0'));
        release.append({path, "2.0.0", QByteArray(2048, char('a' + i % 26))});
        before.insert(path, QByteArray(1024, 'o'));
    }
    QByteArray large(24 * 1024 * 1024, '\0');
    for (int i = 0; i < large.size(); i += 4096)
        large[i] = char(i >> 12);
    release.append({"large.bin", "2.0.0", large});
    before.insert("large.bin", QByteArray(4096, 'o'));
    for (const ReleaseService::File &file : release)
        after.insert(file.path, file.bytes);
    QList<QPair<QString, QString>> oldVersions;
    QList<QPair<QString, QString>> newVersions;
    for (const QString &path : after.keys()) {
        oldVersions.append({path, "1.0.0"});
        newVersions.append({path, "2.0.0"});
    }
    const QByteArray oldXml = manifestBytes(oldVersions);
    const QByteArray newXml = manifestBytes(newVersions);
    QVERIFY(startService(release));

    const auto installOld = [&] {
        for (auto it = before.cbegin(); it != before.cend(); ++it)
            QVERIFY(writeFile(installed(it.key()), it.value()));
        QVERIFY(writeFile(installed("version.xml"), oldXml));
    };
    const auto whole = [&](const Snapshot &release, const QByteArray &manifest) {
        for (auto it = release.cbegin(); it != release.cend(); ++it) {
            if (readFile(installed(it.key())) != it.value())
                return false;
        }
        return readFile(installed("version.xml")) == manifest;
    };
    installOld();
    // A whole run first, to know when to strike.
    QElapsedTimer clock;
    clock.start();
    QVERIFY(launch("e2e-token"));
    QVERIFY(finishes(60000));
    const qint64 wholeRunMs = clock.elapsed();
    QCOMPARE(readFile(installed("version.xml")), newXml);

    const QString updater = QFileInfo(installed("updater/updater")).canonicalFilePath();
    // Answered at once with a 404, which is not tried again: the start gets no release.
    const QString noRelease = QString(service->endpoint()).replace("/api/upgrade", "/api/none");
    int cutInMove = 0;
    for (int round = 0; round < 20; ++round) {
        installOld();
        QVERIFY(launch("e2e-token"));
        // Every other round strikes while the files are moved in: soon after the journal appears.
        if (round % 2) {
            QDeadlineTimer moving(3 * wholeRunMs);
            while (!QFileInfo::exists(installed("updater/install.journal")) && !moving.hasExpired())
                QThread::usleep(200);
            QThread::usleep(QRandomGenerator::global()->bounded(30000));
        } else {
            QTest::qWait(QRandomGenerator::global()->bounded(int(wholeRunMs)));
        }
        killUpdatersOf(updater);
        QVERIFY(launcher.state() == QProcess::NotRunning || launcher.waitForFinished(30000));
        int fresh = 0;
        for (auto it = after.cbegin(); it != after.cend(); ++it) {
            const QByteArray bytes = readFile(installed(it.key()));
            QVERIFY2(bytes == it.value() || bytes == before.value(it.key()),
                     qPrintable(QString("round %1: %2 is torn (%3 bytes)").arg(round).arg(it.key()).arg(bytes.size())));
            fresh += bytes == it.value();
        }
        cutInMove += fresh > 0 && fresh < after.size();
        // The next start, which gets no release: only what the journal says is done.
        QVERIFY(pointConfigAt(noRelease));
        QVERIFY(launch("e2e-token"));
        QVERIFY(finishes());
        QVERIFY2(whole(before, oldXml) || whole(after, newXml), qPrintable(QString("round %1: a mix").arg(round)));
        QVERIFY(pointConfigAt(service->endpoint()));
    }
    qInfo("%d of 20 runs were killed while moving the release in", cutInMove);

    QVERIFY(launch("e2e-token"));
    QVERIFY(finishes(60000));
    QVERIFY(whole(after, newXml));
}

// What the next start does with a journal a crash, a user or a release left: only what the journal
// itself put in place is undone, an old copy is never lost, and a journal that names anything but
// the installation's files and the updater's own old copies is set aside untouched.
void tst_updatecycle::journalLeftBehind_data()
{
    QTest::addColumn<QString>("target");     // below the installation, or "/..." below the test's folder
    QTest::addColumn<QString>("oldCopy");    // below updater/, or "/..." below the test's folder; "" none
    QTest::addColumn<QByteArray>("present"); // the target's bytes at the start; null: missing
    QTest::addColumn<QString>("plant");      // what else was planted or broken
    QTest::addColumn<QByteArray>("after");   // the target's bytes after the start; null: missing
    QTest::addColumn<QString>("outcome");    // "done", "stays" (tried again later) or "set aside"
    QTest::addColumn<QString>("logged");

    const QByteArray fresh = "new a\n";
    const QByteArray old = "old a\n";
    QTest::newRow("the new file is put back") << "a.txt" << "replaced/0" << fresh << "" << old << "done" << "rolled back: 1 files";
    QTest::newRow("a file changed since is left") << "a.txt" << "replaced/0" << QByteArray("user's a\n") << "" << QByteArray("user's a\n")
                                                  << "done" << "a.txt was changed since and is left as it is";
    QTest::newRow("a file new here is removed") << "a.txt" << "" << fresh << "" << QByteArray() << "done" << "rolled back";
    QTest::newRow("moved aside, then cut off") << "a.txt" << "replaced/0" << QByteArray() << "" << old << "done" << "rolled back";
    QTest::newRow("a put-back that fails keeps the old copy") << "gone/a.txt" << "replaced/0" << QByteArray() << "" << QByteArray()
                                                              << "stays" << "a.txt could not be put back";
    QTest::newRow("a target outside the installation") << "/outside.txt" << "replaced/0" << fresh << "" << fresh << "set aside"
                                                       << "which is no file of the installation";
    QTest::newRow("an old copy outside the updater's") << "a.txt" << "/outside.txt" << fresh << "" << fresh << "set aside"
                                                       << "it keeps an old copy outside";
    QTest::newRow("a torn journal") << "a.txt" << "replaced/0" << QByteArray() << "torn" << QByteArray() << "set aside" << "cannot be read";
    QTest::newRow("the journal is a link") << "a.txt" << "replaced/0" << fresh << "journal link" << fresh << "set aside"
                                           << "not a regular file";
    QTest::newRow("the old copies' folder is a link") << "a.txt" << "replaced/0" << fresh << "copies link" << fresh << "set aside"
                                                      << "is not a folder of the updater's own";
}

void tst_updatecycle::journalLeftBehind()
{
    QFETCH(QString, target);
    QFETCH(QString, oldCopy);
    QFETCH(QByteArray, present);
    QFETCH(QString, plant);
    QFETCH(QByteArray, after);
    QFETCH(QString, outcome);
    QFETCH(QString, logged);
    // As the updater forms them: its installation is its own folder + "/../".
    const QString updaterDir = QFileInfo(installed("updater")).canonicalFilePath();
    const QString install = updaterDir + "/../";
    const auto at = [&](const QString &path, const QString &below) { return path.startsWith('/') ? root(path.mid(1)) : below + path; };
    const QString targetPath = at(target, install);
    const QString copyPath = at(oldCopy, updaterDir + "/");
    const QString copies = plant == "copies link" ? root("outside") : installed("updater/replaced");

    QVERIFY(QFile::remove(installed("a.txt")));
    if (!present.isNull())
        QVERIFY(writeFile(targetPath, present));
    QVERIFY(QDir().mkpath(copies));
    if (!oldCopy.isEmpty())
        QVERIFY(writeFile(oldCopy.startsWith('/') ? copyPath : copies + "/0", "old a\n"));
    if (plant == "copies link")
        QVERIFY(QFile::link(copies, installed("updater/replaced")));
    const QByteArray digest = QCryptographicHash::hash("new a\n", QCryptographicHash::Sha256).toHex();
    QByteArray journal = QJsonDocument(QJsonObject{{"done", false}, {"files", QJsonArray{QJsonObject{
        {"target", targetPath}, {"old", oldCopy.isEmpty() ? QString() : copyPath}, {"size", 6}, {"sha256", QString(digest)}}}}}).toJson();
    if (plant == "torn")
        journal.truncate(journal.size() / 2);
    QVERIFY(writeFile(plant == "journal link" ? root("journal") : installed("updater/install.journal"), journal));
    if (plant == "journal link")
        QVERIFY(QFile::link(root("journal"), installed("updater/install.journal")));

    QVERIFY(startService({{"b.txt", "2.0.0", "b\n"}}));
    QVERIFY(writeFile(installed("updater/config.xml"), "<Config><Update>" + QString(service->endpoint()).replace("/api/upgrade", "/api/none").toUtf8()
                                                          + "</Update><Log>update.log</Log></Config>"));
    QVERIFY(launch("e2e-token"));
    QVERIFY(finishes());

    QCOMPARE(QFileInfo::exists(targetPath) ? readFile(targetPath) : QByteArray(), after);
    const QString log = QString::fromUtf8(readFile(installed("updater/update.log")));
    QVERIFY2(log.contains(logged), qPrintable(log));
    const QStringList asideNames = QDir(installed("updater")).entryList({"*.refused-*"}, QDir::AllEntries | QDir::System);
    QCOMPARE(asideNames.size(), outcome == "set aside" ? 2 : 0); // the journal and the old copies' folder
    QCOMPARE(QFileInfo::exists(installed("updater/install.journal")), outcome == "stays");
    // An old copy is never lost while it may be needed: still kept, or set aside with the journal.
    if (!oldCopy.isEmpty() && outcome != "done")
        QVERIFY(readFile(oldCopy.startsWith('/') ? copyPath : outcome == "set aside" && plant != "copies link"
                         ? installed("updater/" + asideNames.filter("replaced").value(0) + "/0") : copies + "/0") == "old a\n");
    if (outcome == "stays") { // the next start, once the target's folder is back
        QVERIFY(QDir().mkpath(QFileInfo(targetPath).absolutePath()));
        QVERIFY(launch("e2e-token"));
        QVERIFY(finishes());
        QCOMPARE(readFile(targetPath), QByteArray("old a\n"));
        QVERIFY(!QFileInfo::exists(installed("updater/install.journal")));
    }
}

// The release's times are the service's wall-clock times, read by the updater as its own. A file put in
// place takes the release's time, so a second run fetches nothing and a later change of the same
// version is still fetched, however far apart the two zones are.
void tst_updatecycle::releaseTimesHoldInEveryZone_data()
{
    QTest::addColumn<QString>("timeZone");
    QTest::newRow("updater five hours behind the service") << "EST5";
    QTest::newRow("updater nine hours ahead of the service") << "JST-9";
}

void tst_updatecycle::releaseTimesHoldInEveryZone()
{
    QFETCH(QString, timeZone);
    // What a service in UTC publishes for files changed an hour ago and now.
    const QString hourAgo = QDateTime::currentDateTimeUtc().addSecs(-3600).toString("yyyy-MM-ddThh:mm:ss");
    const QString now = QDateTime::currentDateTimeUtc().toString("yyyy-MM-ddThh:mm:ss");
    QVERIFY(startService({{"a.txt", "2.0.0", "new a\n", true, hourAgo}}));

    QVERIFY(launch("e2e-token", timeZone));
    QVERIFY(finishes());
    QCOMPARE(readFile(installed("a.txt")), QByteArray("new a\n"));
    QTRY_COMPARE_WITH_TIMEOUT(mainApplicationStarts().size(), 1, 10000);

    // Nothing is out of date: no download, and so no start of the main application either.
    QVERIFY(launch("e2e-token", timeZone));
    QVERIFY(finishes());
    QTest::qWait(500);
    QCOMPARE(mainApplicationStarts().size(), 1);

    QVERIFY(service->publish({{"a.txt", "2.0.0", "newer a\n", true, now}}));
    QVERIFY(launch("e2e-token", timeZone));
    QVERIFY(finishes());
    QCOMPARE(readFile(installed("a.txt")), QByteArray("newer a\n"));
}

QTEST_GUILESS_MAIN(tst_updatecycle)
#include "tst_updatecycle.moc"

// The updater reports the swap that failed, after its run and through the query's exchange, and that
// one report is enough for a rule that asks for no more.
void tst_updatecycle::failedSwapHaltsTheRollout()
{
    // The rollout's sub/x.txt cannot go in: the installation has a file where its folder would be.
    QVERIFY(writeFile(installed("sub"), "a file, not a folder\n"));
    QVERIFY(writeFile(root("newer/a.txt"), "newer a\n"));
    QVERIFY(writeFile(root("newer/sub/x.txt"), "x\n"));
    QProcess publish;
    publish.start(UPDATE_SERVICE_BIN, {"publish", root("newer"), "--version", "3.0.0", "--sign", RELEASE_KEY_FILE,
                                       "--sequence", "2"});
    QVERIFY(publish.waitForFinished(30000) && publish.exitCode() == 0);
    QVERIFY(writeFile(root("rollout.json"), R"({"seed": "s", "rollout": {"release": "newer", "percent": 100,
                                                "halt": {"above_stable": 0, "min_reports": 1}}})"));
    {
        ReportStore seeded;
        QVERIFY(seeded.open(root("reports.db"), 30));
        OutcomeReport installs;
        installs.outcome = OutcomeReport::Installed;
        for (int i = 0; i < 10; ++i)
            QVERIFY(seeded.add(Rollout::stableName, 1, QString::number(i).rightJustified(64, 'a'), installs, QDateTime::currentDateTimeUtc()));
    }
    QVERIFY(startService({{"a.txt", "2.0.0", "new a\n"}},
                         {"--release-key", SOURCE_DIR "/service/demo-keys/release-public.hex", "--rollout",
                          root("rollout.json"), "--reports", root("reports.db")}));
    QVERIFY(writeFile(installed("updater/config.xml"), "<Config><Update>" + service->endpoint().toUtf8()
                                                           + "</Update><Log>update.log</Log></Config>\n"));
    QVERIFY(launch("e2e-token"));
    QVERIFY(answerBox("Error"));
    QVERIFY(finishes());

    QCOMPARE(readFile(installed("a.txt")), QByteArray("old a\n"));
    QByteArray log;
    QTRY_VERIFY2((log += service->readStandardError()).contains("rollout halted by its rule: the rollout failed on 1 of 1 installations"), log);
    QVERIFY2(log.contains("POST /api/report 200") && log.contains("release=rollout outcome=rolled_back"), log);
    const QString updaterLog = QString::fromUtf8(readFile(installed("updater/update.log")));
    QVERIFY2(updaterLog.contains("/api/report: sent, rolled_back"), qPrintable(updaterLog));
    // Sent after the run's end: nothing of it may hold the main application back.
    QVERIFY(updaterLog.indexOf("main application") < updaterLog.indexOf("report "));
    ReportStore stored;
    QVERIFY(stored.open(root("reports.db"), 30));
    QCOMPARE(stored.tally(Rollout::rolloutName, 2).failures, 1);
    // The reason as logged, without where the installation lies.
    const QList<ReportStore::Reason> reasons = stored.reasons(5);
    QCOMPARE(reasons.size(), 1);
    QCOMPARE(reasons.first().reason, QString("sub/x.txt could not be put in place; every file was put back"));
}
