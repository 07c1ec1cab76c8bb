#include <QtTest>

#include "tests/support/loopbackserver.h"
#include "tests/support/releaseservice.h"
#include "tests/support/testfiles.h"
#include "tests/support/tinyproxy.h"
#include "tests/support/tlsfileserver.h"
#include "tests/support/wineprefix.h"
#include "tests/support/xvfbdisplay.h"

#include <memory>
#include <mutex>

// The Windows build under Wine: the real updater.exe, started by the real updater-launch.exe, against
// the Linux update-service on loopback, with Windows stand-ins for the main application and for a
// program holding an installed file. Run by 'make windows-test' after 'make windows'.
//
// Wine is not Windows: a rename over a read-only file succeeds, sharing modes hold only between Wine
// processes (all of them here), and Toolhelp sees only the prefix's processes (the stand-in is one).
// A row asserts what Windows does only where Wine behaves the same, and says so where it does not.
namespace {

QString windowsBuild()
{
    const QString given = qEnvironmentVariable("TRELVOX_WINDOWS_BUILD");
    return given.isEmpty() ? QStringLiteral(SOURCE_DIR "/build-windows") : given;
}

QString fileEntry(const QString &path, const QString &version)
{
    return QString("<FILE version=\"%1\">%2</FILE>").arg(version, path);
}

const QByteArray oldManifest = "<?xml version = \"1.0\"?>\r\n\r\n<Trelvox>\r\n<COUNT>2</COUNT>\r\n\r\n<FILES>\r\n"
                               "<FILE version=\"1.0.0\">a.txt</FILE>\r\n\r\n<FILE version=\"1.0.0\">b.txt</FILE>\r\n"
                               "</FILES>\r\n</Trelvox>\r\n\r\n";

} // namespace

class tst_windows : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void updaterAsksForAdministratorRights();
    void signedUpdateEndsAndRestartsMainApplication_data();
    void signedUpdateEndsAndRestartsMainApplication();
    void fileHeldOpen_data();
    void fileHeldOpen();
    void installedFileForms_data();
    void installedFileForms();
    void unsafePathRefused_data();
    void unsafePathRefused();
    void tokenThroughSegment_data();
    void tokenThroughSegment();
    void filesOverTls();
    void throughProxy();
    void updaterReplacesItself_data();
    void updaterReplacesItself();

private:
    QString root(const QString &name = QString()) const { return dir->filePath(name); }
    QString installed(const QString &name = QString()) const { return root(installFolder + "/" + name); }
    bool startService(const QList<ReleaseService::File> &files, const QStringList &extraArguments = {},
                      const QByteArray &configExtra = {});
    bool launch(const QStringList &launcherArguments);
    int finishAnswering(const QString &boxTitle, int timeoutMs = 90000);
    QStringList mainApplicationStarts() const;

    XvfbDisplay display;
    std::unique_ptr<WinePrefix> wine;
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<ReleaseService> service;
    QProcess launcher;
    QString installFolder = "install";
};

void tst_windows::initTestCase()
{
    QVERIFY2(display.isRunning(), "Xvfb did not start");
    QVERIFY2(QFileInfo::exists(windowsBuild() + "/deploy/updater.exe"),
             qPrintable("no Windows build in " + windowsBuild() + ": run 'make windows' first"));
    wine = std::make_unique<WinePrefix>(display.environment());
    QVERIFY2(wine->boot(), "wineboot failed: see above");
}

void tst_windows::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    QDirIterator deployed(windowsBuild() + "/deploy", QDir::Files, QDirIterator::Subdirectories);
    while (deployed.hasNext()) {
        const QString from = deployed.next();
        const QString to = installed("updater/" + QDir(windowsBuild() + "/deploy").relativeFilePath(from));
        QVERIFY(QDir().mkpath(QFileInfo(to).absolutePath()));
        QVERIFY(QFile::copy(from, to));
    }
    QVERIFY(QFile::copy(windowsBuild() + "/tests/windows/Trelvox.exe", installed("Trelvox.exe")));
    QVERIFY(writeFile(installed("version.xml"), oldManifest));
    QVERIFY(writeFile(installed("a.txt"), "old a\n"));
    QVERIFY(writeFile(installed("b.txt"), "old b\n"));
}

void tst_windows::cleanup()
{
    if (QTest::currentTestFailed() && QFileInfo::exists(installed("updater/updater.log")))
        qInfo().noquote() << "updater.log:\n" << readFile(installed("updater/updater.log"));
    // Ends the launcher, the updater, stand-ins and holders alike.
    wine->endAll();
    launcher.waitForFinished(10000);
    service.reset();
    dir.reset();
    installFolder = "install";
}

bool tst_windows::startService(const QList<ReleaseService::File> &files, const QStringList &extraArguments,
                               const QByteArray &configExtra)
{
    service = std::make_unique<ReleaseService>(root("release"));
    return service->publish(files) && service->start(extraArguments)
        && writeFile(installed("updater/config.xml"), "<Config><Update>" + service->endpoint().toUtf8()
                                                          + "</Update><Log>updater.log</Log>" + configExtra + "</Config>\n");
}

bool tst_windows::launch(const QStringList &launcherArguments)
{
    launcher.setProcessChannelMode(QProcess::ForwardedChannels);
    wine->start(launcher, installed("updater/updater-launch.exe"),
                launcherArguments + QStringList{WinePrefix::windowsPath(installed("updater/updater.exe"))}, root());
    return launcher.waitForStarted(10000);
}

// Waits for the launcher to end, pressing Return in every box titled boxTitle meanwhile; the number
// of boxes answered, or -1 when the run did not end in time.
int tst_windows::finishAnswering(const QString &boxTitle, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    int answered = 0;
    while (!launcher.waitForFinished(200)) {
        if (deadline.hasExpired())
            return -1;
        const QStringList boxes = display.waitForWindows("^" + boxTitle + "$", 0);
        if (boxes.size() == 1 && display.pressKey(boxes.first(), "Return")) {
            ++answered;
            // The box is gone before the next look, or it is looked at again.
            if (!QTest::qWaitFor([&] { return launcher.state() == QProcess::NotRunning
                                         || display.waitForWindows("^" + boxTitle + "$", 0).isEmpty(); }, 10000))
                return -1;
        }
    }
    return launcher.exitStatus() == QProcess::NormalExit ? answered : -1;
}

QStringList tst_windows::mainApplicationStarts() const
{
    // The stand-in writes one folder above its own.
    const QString starts = QDir::cleanPath(installed("../starts.txt"));
    if (!QFileInfo::exists(starts))
        return {};
    return QString::fromUtf8(readFile(starts)).split('\n', Qt::SkipEmptyParts);
}

// Wine runs every program with full rights; Windows starts the updater with them only when its
// manifest asks, and without them it can neither write the installation nor open its private folder.
void tst_windows::updaterAsksForAdministratorRights()
{
    QVERIFY(readFile(windowsBuild() + "/deploy/updater.exe").contains("level=\"requireAdministrator\""));
}

void tst_windows::signedUpdateEndsAndRestartsMainApplication_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("deepFile");
    QTest::newRow("plain") << "install" << QString();
    QTest::newRow("installed below blanks and non-ASCII") << "Program Files/Trelvox \u00dcbersicht \u30c6\u30b9\u30c8"
                                                         << QString();
    QTest::newRow("a folder deep in the release") << "install" << "deep/er/and/deeper/still/file.dat";
    // Windows refuses such a path unless it comes in its long form (Wine does not: the form itself is
    // shown in tst_localoperations).
    QTest::newRow("a path over 260 characters") << "install"
                                                << "long/" + QString("a-folder-name-of-forty-characters-each/").repeated(7) + "file.dat";
    // Our service sends UTF-8, whatever the code page of the Windows that reads it.
    QTest::newRow("names in Cyrillic, Greek and CJK") << "install"
                                                      << "\u0414\u043e\u043a\u0443\u043c\u0435\u043d\u0442\u044b/"
                                                         "\u0388\u03b3\u03b3\u03c1\u03b1\u03c6\u03b1/\u6587\u66f8.txt";
}

void tst_windows::signedUpdateEndsAndRestartsMainApplication()
{
    QFETCH(QString, folder);
    QFETCH(QString, deepFile);
    if (folder != installFolder) {
        QVERIFY(QDir().mkpath(QFileInfo(root(folder)).absolutePath()));
        QVERIFY(QDir().rename(installed(), root(folder)));
        installFolder = folder;
    }
    // A Windows program runs with bytes appended to it: the new main application is the stand-in
    // and a few bytes more, which its start record shows in its size.
    const QByteArray oldStandIn = readFile(installed("Trelvox.exe"));
    const QByteArray newStandIn = oldStandIn + QByteArray("2.0.0").repeated(10);
    QByteArray binary(200 * 1024, '\0');
    for (int i = 0; i < binary.size(); ++i)
        binary[i] = char((qint64(i) * 7919) >> 3);
    if (QTest::currentDataTag() == QLatin1String("a path over 260 characters"))
        QVERIFY(WinePrefix::windowsPath(installed(deepFile)).size() > 300);
    QList<ReleaseService::File> release{{"Trelvox.exe", "2.0.0", newStandIn},
                                        {"a.txt", "2.0.0", "new a\r\n"},
                                        {"data/nested/b.bin", "2.0.1", binary},
                                        {"Plugins/Net/proxy.dll", "2.0.0", "dll"}};
    if (!deepFile.isEmpty())
        release.append({deepFile, "2.0.0", "deep\n"});
    QVERIFY(startService(release));

    QProcess standIn;
    wine->start(standIn, installed("Trelvox.exe"), {}, installed());
    QVERIFY(standIn.waitForStarted(10000));
    QTRY_COMPARE_WITH_TIMEOUT(mainApplicationStarts().size(), 1, 30000);

    QVERIFY(launch({"--token", "wine-token"}));
    QCOMPARE(finishAnswering("Error"), 0);
    QCOMPARE(launcher.exitCode(), 0);
    // Ended through the Toolhelp snapshot before its file was replaced.
    QVERIFY(standIn.waitForFinished(0) || standIn.state() == QProcess::NotRunning);

    QCOMPARE(readFile(installed("Trelvox.exe")), newStandIn);
    QCOMPARE(readFile(installed("a.txt")), QByteArray("new a\r\n"));
    QCOMPARE(readFile(installed("data/nested/b.bin")), binary);
    QCOMPARE(readFile(installed("Plugins/Net/proxy.dll")), QByteArray("dll"));
    QCOMPARE(readFile(installed("b.txt")), QByteArray("old b\n"));
    if (!deepFile.isEmpty())
        QCOMPARE(readFile(installed(deepFile)), QByteArray("deep\n"));
    const QString manifest = QString::fromUtf8(readFile(installed("version.xml")));
    for (const QString &entry : {fileEntry("Trelvox.exe", "2.0.0"), fileEntry("a.txt", "2.0.0"),
                                 fileEntry("data/nested/b.bin", "2.0.1"), fileEntry("Plugins/Net/proxy.dll", "2.0.0")})
        QVERIFY2(manifest.contains(entry), qPrintable(entry + " missing from " + manifest));
    QVERIFY(QDir(installed("tmps")).entryList(QDir::Files | QDir::Hidden).isEmpty());

    // Started again: the new one, in the installation, without arguments.
    QTRY_COMPARE_WITH_TIMEOUT(mainApplicationStarts().size(), 2, 30000);
    // "pid folder arguments size": the folder may hold blanks.
    const QString start = mainApplicationStarts().at(1);
    QString startFolder = start.section(' ', 1, -3);
    while (startFolder.endsWith('\\'))
        startFolder.chop(1);
    QCOMPARE(startFolder.toLower(), WinePrefix::windowsPath(installed()).toLower());
    QCOMPARE(start.section(' ', -2, -2), QString("0"));
    QCOMPARE(start.section(' ', -1).toInt(), newStandIn.size());
}

void tst_windows::fileHeldOpen_data()
{
    QTest::addColumn<QString>("sharing");
    QTest::addColumn<bool>("refusedOnWindows");
    // Without delete sharing the installed copy cannot be renamed aside: Windows and Wine refuse it alike.
    QTest::newRow("held without sharing") << "none" << true;
    QTest::newRow("held sharing reads only") << "read" << true;
    // With delete sharing Windows versions differ on replacing it; either way nothing may be torn.
    QTest::newRow("held sharing everything") << "all" << false;
}

void tst_windows::fileHeldOpen()
{
    QFETCH(QString, sharing);
    QFETCH(bool, refusedOnWindows);
    QVERIFY(startService({{"a.txt", "2.0.0", "new a\n"}, {"b.txt", "2.0.0", "new b\n"}}));
    QProcess holder;
    wine->start(holder, windowsBuild() + "/tests/windows/hold-open.exe",
                {WinePrefix::windowsPath(installed("b.txt")), sharing}, root());
    QVERIFY(holder.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(holder.canReadLine() || holder.state() == QProcess::NotRunning, 30000);
    QCOMPARE(holder.readLine().trimmed(), QByteArray("held"));

    QVERIFY(launch({"--token", "wine-token"}));
    const int boxes = finishAnswering("Error");
    QVERIFY(boxes >= 0);
    QCOMPARE(launcher.exitCode(), 0);
    holder.closeWriteChannel();
    QVERIFY(holder.waitForFinished(10000));

    // Whole or not at all, whatever the sharing: no file torn, the manifest matching the files.
    const QByteArray a = readFile(installed("a.txt"));
    const QByteArray b = readFile(installed("b.txt"));
    const bool updated = a == "new a\n" && b == "new b\n"
        && readFile(installed("version.xml")).contains(fileEntry("b.txt", "2.0.0").toUtf8());
    const bool untouched = a == "old a\n" && b == "old b\n" && readFile(installed("version.xml")) == oldManifest;
    QVERIFY2(updated || untouched, qPrintable(QString("a.txt %1, b.txt %2").arg(QString(a), QString(b))));
    QVERIFY(QDir(installed("tmps")).entryList(QDir::Files | QDir::Hidden).isEmpty());
    if (refusedOnWindows) {
        QVERIFY(untouched);
        QCOMPARE(boxes, 1);
        QTest::qWait(500);
        QVERIFY(mainApplicationStarts().isEmpty());
    } else {
        qInfo("with delete sharing the run %s", updated ? "replaced the held file" : "left the release out");
    }
}

void tst_windows::installedFileForms_data()
{
    QTest::addColumn<QString>("installedName");
    QTest::addColumn<QString>("manifestName");
    QTest::addColumn<bool>("readOnly");
    QTest::newRow("read-only") << "a.txt" << "a.txt" << true;
    QTest::newRow("installed in other letter case") << "A.TXT" << "a.txt" << false;
    QTest::newRow("listed in other letter case") << "a.txt" << "A.Txt" << false;
}

// Windows names are one file whatever their letter case, and a read-only file is replaced as any other:
// the release's a.txt goes in once, and nothing of the old copy is left behind.
void tst_windows::installedFileForms()
{
    QFETCH(QString, installedName);
    QFETCH(QString, manifestName);
    QFETCH(bool, readOnly);
    QVERIFY(QFile::remove(installed("a.txt")));
    QVERIFY(writeFile(installed(installedName), "old a\n"));
    if (readOnly)
        QVERIFY(QFile::setPermissions(installed(installedName), QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    QVERIFY(writeFile(installed("version.xml"), QString::fromUtf8(oldManifest).replace(">a.txt<", ">" + manifestName + "<").toUtf8()));
    QVERIFY(startService({{"a.txt", "2.0.0", "new a\n"}}));
    const QStringList updaterFiles = QDir(installed("updater")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

    QVERIFY(launch({"--token", "wine-token"}));
    QCOMPARE(finishAnswering("Error"), 0);
    QCOMPARE(launcher.exitCode(), 0);

    const QStringList named = QDir(installed()).entryList({"a.txt"}, QDir::Files); // any letter case
    QCOMPARE(named.size(), 1);
    QCOMPARE(readFile(installed(named.first())), QByteArray("new a\n"));
    const QString manifest = QString::fromUtf8(readFile(installed("version.xml")));
    QCOMPARE(manifest.count(">a.txt<", Qt::CaseInsensitive), 1);
    QVERIFY2(manifest.contains(fileEntry("a.txt", "2.0.0"), Qt::CaseInsensitive), qPrintable(manifest));
    QStringList left = QDir(installed("updater")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    left.removeAll("updater.log");
    left.removeAll("release.state");
    QCOMPARE(left, updaterFiles);
    QVERIFY(QDir(installed("tmps")).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

void tst_windows::unsafePathRefused_data()
{
    QTest::addColumn<QStringList>("paths");
    QTest::newRow("backslash parent") << QStringList{"..\\evil.txt"};
    QTest::newRow("backslash inside") << QStringList{"data\\..\\..\\evil.txt"};
    QTest::newRow("backslash rooted") << QStringList{"\\evil.txt"};
    QTest::newRow("drive relative") << QStringList{"C:evil.txt"};
    QTest::newRow("drive absolute") << QStringList{"C:\\evil.txt"};
    QTest::newRow("drive Z: to the test folder") << QStringList{"Z:ROOT/evil.txt"};
    QTest::newRow("UNC") << QStringList{"\\\\localhost\\C$\\evil.txt"};
    QTest::newRow("alternate data stream") << QStringList{"b.txt:evil"};
    QTest::newRow("names differing in case") << QStringList{"B.TXT"};
    QTest::newRow("reserved name") << QStringList{"nul.txt"};
    QTest::newRow("reserved folder") << QStringList{"Aux\\evil.txt"};
    QTest::newRow("reserved with blank") << QStringList{"CON "};
    QTest::newRow("trailing dot") << QStringList{"b.txt."};
}

void tst_windows::unsafePathRefused()
{
    QFETCH(QStringList, paths);
    // The file server hands out the listed bytes for any path: only the updater can keep them out.
    std::mutex lock;
    QStringList requested;
    LoopbackServer files;
    files.http().Get(".*", [&](const httplib::Request &request, httplib::Response &response) {
        std::lock_guard<std::mutex> guard(lock);
        requested << QString::fromStdString(request.path);
        response.set_content(request.path == "/files/b.txt" ? "new b\n" : "evil\n", "text/plain");
    });
    files.start();
    QList<ReleaseService::File> release{{"b.txt", "2.0.0", "new b\n", false}};
    for (QString path : paths)
        release.append({path.replace("ROOT", QDir::toNativeSeparators(root())), "6.6.6", "evil\n", false});
    QVERIFY(startService(release, {"--download-url", files.url("/files")}));
    const FileSnapshot before = snapshotFiles(installed());
    const QStringList beside = QDir(root()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

    QVERIFY(launch({"--token", "wine-token"}));
    QCOMPARE(finishAnswering("Error"), 1);
    QCOMPARE(launcher.exitCode(), 0);

    {
        std::lock_guard<std::mutex> guard(lock);
        QVERIFY2(requested.isEmpty() || requested == QStringList{"/files/b.txt"}, qPrintable(requested.join(", ")));
    }
    FileSnapshot after = snapshotFiles(installed());
    after.remove("updater/updater.log");
    after.remove("updater/config.xml");
    FileSnapshot expected = before;
    expected.remove("updater/config.xml");
    QCOMPARE(after.keys(), expected.keys());
    QVERIFY(after == expected);
    QCOMPARE(QDir(root()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), beside);
    QVERIFY(!QFileInfo::exists(wine->driveC() + "/evil.txt"));
    QVERIFY(mainApplicationStarts().isEmpty());
}

void tst_windows::tokenThroughSegment_data()
{
    QTest::addColumn<QStringList>("launcherArguments");
    QTest::addColumn<QString>("boxTitle");
    QTest::addColumn<bool>("updated");
    QTest::newRow("the service's token") << QStringList{"--token", "wine-token"} << QString() << true;
    QTest::newRow("a token beyond ASCII") << QStringList{"--token", "J\u00fcrgen-\u30c8\u30fc\u30af\u30f3"} << QString()
                                          << true;
    // Through ShellExecuteExW's "runas", as when starting it directly needs rights the caller lacks:
    // the segment still reaches the updater, and the launcher waits for it. Wine shows no prompt.
    QTest::newRow("started through the shell's elevation") << QStringList{"--elevate", "--token", "wine-token"}
                                                           << QString() << true;
    QTest::newRow("a token the service refuses") << QStringList{"--token", "someone-else"} << "ERROR" << false;
    // An untitled box carries the program's name.
    QTest::newRow("no segment: LoginFailed") << QStringList{"--no-segment"} << "updater" << false;
    QTest::newRow("a length past the segment") << QStringList{"--raw-hex", "000000ff0041"} << "updater" << false;
}

void tst_windows::tokenThroughSegment()
{
    QFETCH(QStringList, launcherArguments);
    QFETCH(QString, boxTitle);
    QFETCH(bool, updated);
    QVERIFY(writeFile(root("tokens.txt"), QString("wine-token\nJ\u00fcrgen-\u30c8\u30fc\u30af\u30f3\n").toUtf8()));
    QVERIFY(startService({{"a.txt", "2.0.0", "new a\n"}}, {"--tokens", root("tokens.txt")}));

    QVERIFY(launch(launcherArguments));
    QCOMPARE(finishAnswering(boxTitle.isEmpty() ? "Error" : boxTitle), boxTitle.isEmpty() ? 0 : 1);
    QCOMPARE(launcher.exitCode(), 0);
    QCOMPARE(readFile(installed("a.txt")), QByteArray(updated ? "new a\n" : "old a\n"));
}

// Files from nginx over TLS, through Schannel and the machine's store, where a company adds its own
// authority. That a certificate no authority signed is refused shows on Linux only: Wine's Schannel
// leaves the chain to the caller, where Windows checks it itself.
void tst_windows::filesOverTls()
{
    TlsFileServer files;
    QVERIFY2(files.start(root("release")), qPrintable(files.errorString()));
    QVERIFY(wine->trustAuthority(files.authorityFile()));
    QVERIFY(startService({{"a.txt", "2.0.0", "new a\r\n"}}, {"--download-url", files.url()}));
    QVERIFY(launch({"--token", "wine-token"}));
    QCOMPARE(finishAnswering("Error"), 0);
    QCOMPARE(readFile(installed("a.txt")), QByteArray("new a\r\n"));
}

// The query and the download through a proxy that asks for Basic credentials.
void tst_windows::throughProxy()
{
    if (QStandardPaths::findExecutable("tinyproxy").isEmpty())
        QSKIP("no tinyproxy here");
    TinyProxy proxy;
    QVERIFY(proxy.start("proxy-user:proxy-pw"));
    QVERIFY(startService({{"a.txt", "2.0.0", "new a\r\n"}}, {}, "<Proxy>" + proxy.url().toUtf8() + "</Proxy>"));
    QVERIFY(launch({"--token", "wine-token"}));
    QCOMPARE(finishAnswering("Error"), 0);
    proxy.stop();
    QCOMPARE(readFile(installed("a.txt")), QByteArray("new a\r\n"));
    const QByteArray log = proxy.log();
    QVERIFY2(log.contains("POST " + service->endpoint().toUtf8()), log.constData());
    QVERIFY2(log.contains("GET " + QUrl(service->endpoint()).resolved(QUrl("/files/a.txt")).toString().toUtf8()), log.constData());
}

void tst_windows::updaterReplacesItself_data()
{
    QTest::addColumn<bool>("oldCopyHeld");
    QTest::newRow("the updater replaces itself") << false;
    // Windows deletes no image still mapped: an old updater slow to exit, or its DLL in use elsewhere.
    QTest::newRow("its old copy still in use at the next start") << true;
}

// A release with a new updater.exe and one of its DLLs installs while both are in use: each running
// image is moved aside, never overwritten. The next start drops the old copies, or keeps one still in
// use for a later start without failing, and the next update runs the new updater.
void tst_windows::updaterReplacesItself()
{
    QFETCH(bool, oldCopyHeld);
    const QString dll = "updater/Qt5Xml.dll";
    const QByteArray oldUpdater = readFile(installed("updater/updater.exe"));
    // Bytes appended to a PE image leave it runnable, and make the new copy tell from the old.
    const QByteArray newUpdater = oldUpdater + QByteArray("new updater").repeated(100);
    const QByteArray newDll = readFile(installed(dll)) + QByteArray("new dll").repeated(100);
    QVERIFY(startService({{"updater/updater.exe", "2.0.0", newUpdater}, {dll, "2.0.0", newDll}, {"a.txt", "2.0.0", "new a\n"}}));

    QVERIFY(launch({"--token", "wine-token"}));
    QCOMPARE(finishAnswering("Error"), 0);
    QCOMPARE(launcher.exitCode(), 0);
    QCOMPARE(readFile(installed("updater/updater.exe")), newUpdater);
    QCOMPARE(readFile(installed(dll)), newDll);
    QCOMPARE(readFile(installed("a.txt")), QByteArray("new a\n"));
    QVERIFY(!QFileInfo::exists(installed("updater/install.journal")));
    // The run could not drop the images it had moved aside while it still ran them (Wine as Windows).
    QString oldCopy;
    for (const QString &name : QDir(installed("updater/replaced")).entryList(QDir::Files)) {
        if (readFile(installed("updater/replaced/" + name)) == oldUpdater)
            oldCopy = installed("updater/replaced/" + name);
    }
    QVERIFY2(!oldCopy.isEmpty(), "the old updater was not moved aside");
    QProcess holder;
    if (oldCopyHeld) {
        wine->start(holder, windowsBuild() + "/tests/windows/hold-open.exe", {WinePrefix::windowsPath(oldCopy), "none"}, root());
        QVERIFY(holder.waitForStarted(10000));
        QTRY_VERIFY_WITH_TIMEOUT(holder.canReadLine() || holder.state() == QProcess::NotRunning, 30000);
        QCOMPARE(holder.readLine().trimmed(), QByteArray("held"));
    }

    // The next update, through the new updater and its new DLL.
    service.reset();
    QVERIFY(startService({{"updater/updater.exe", "2.0.0", newUpdater}, {dll, "2.0.0", newDll}, {"a.txt", "3.0.0", "newer a\n"}}));
    QVERIFY(launch({"--token", "wine-token"}));
    QCOMPARE(finishAnswering("Error"), 0);
    QCOMPARE(launcher.exitCode(), 0);
    QCOMPARE(readFile(installed("a.txt")), QByteArray("newer a\n"));
    QCOMPARE(readFile(installed("updater/updater.exe")), newUpdater);
    const QByteArray log = readFile(installed("updater/updater.log"));
    if (!oldCopyHeld) {
        // The old DLL's copy went with it.
        QCOMPARE(QDir(installed("updater/replaced")).entryList(QDir::Files), QStringList());
        return;
    }
    QVERIFY2(QFileInfo::exists(oldCopy), "a copy still in use was removed");
    QVERIFY2(log.contains("old copies are still in use and stay for a later start"), log.constData());

    // Once free, it goes at the start after.
    holder.closeWriteChannel();
    QVERIFY(holder.waitForFinished(10000));
    QVERIFY(launch({"--token", "wine-token"}));
    QCOMPARE(finishAnswering("Error"), 0);
    QVERIFY(!QFileInfo::exists(oldCopy));
}

QTEST_GUILESS_MAIN(tst_windows)
#include "tst_windows.moc"
