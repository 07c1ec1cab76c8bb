#include <QtTest>

#include "app/fileinstaller.h"
#include "app/installation.h"
#include "app/updaterenvironment.h"
#include "app/updatewindow.h"
#include "tests/support/releaseservice.h"
#include "tests/support/slowsecondfileserver.h"
#include "tests/support/messageboxanswerer.h"
#include "tests/support/testfiles.h"

#include <memory>

// The update run inside the process, against the real update-service: what the window shows and
// says while the files go in.
Q_DECLARE_METATYPE(QList<ReleaseService::File>)

class tst_updaterun : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void safePaths_data();
    void safePaths();
    void installOneFile_data();
    void installOneFile();
    void run_data();
    void run();
    void closeDuringSecondDownload();

private:
    QString installed(const QString &name = QString()) const { return dir->filePath("install/" + name); }
    bool serve(const QList<ReleaseService::File> &files, const QStringList &extraArguments = {});
    static QStringList lines(const updateWindow &window);
    static QStringList said(const MessageBoxAnswerer &answerer);

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<ReleaseService> service;
};

void tst_updaterun::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    QVERIFY(QDir().mkpath(installed("updater")));
    UpdaterEnvironment environment;
    environment.updaterDirectory = installed("updater");
    environment.releaseKeys.clear(); // the base exchange: the real update-service here signs nothing
    UpdaterEnvironment::setForTesting(environment);
    QVERIFY(writeFile(installed("a.txt"), "old a\n"));
}

void tst_updaterun::cleanup()
{
    service.reset();
    UpdaterEnvironment::setForTesting({});
    dir.reset();
}

bool tst_updaterun::serve(const QList<ReleaseService::File> &files, const QStringList &extraArguments)
{
    service = std::make_unique<ReleaseService>(dir->filePath("release"));
    return service->publish(files) && service->start(extraArguments)
        && writeConfigXml(installed("updater"), service->endpoint());
}

QStringList tst_updaterun::lines(const updateWindow &window)
{
    return window.teFiles->toPlainText().split('\n', Qt::SkipEmptyParts);
}

QStringList tst_updaterun::said(const MessageBoxAnswerer &answerer)
{
    QStringList boxes;
    for (const MessageBoxAnswerer::Box &box : answerer.boxes)
        boxes << box.title + "|" + box.text;
    return boxes;
}

void tst_updaterun::safePaths_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("safe");
    QTest::newRow("plain") << "a.txt" << true;
    QTest::newRow("nested") << "data/nested/b.bin" << true;
    QTest::newRow("backslashes") << "data\\b.bin" << true;
    QTest::newRow("dots inside a name") << "a..b/c...txt" << true;
    QTest::newRow("current folder") << "./a.txt" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("absolute") << "/etc/passwd" << false;
    QTest::newRow("backslash first") << "\\Windows\\evil.dll" << false;
    QTest::newRow("network share") << "\\\\server\\share\\x" << false;
    QTest::newRow("drive letter") << "C:evil.dll" << false;
    QTest::newRow("drive root") << "c:/evil.dll" << false;
    QTest::newRow("parent") << ".." << false;
    QTest::newRow("parent first") << "../evil.txt" << false;
    QTest::newRow("parent inside") << "data/../../evil.txt" << false;
    QTest::newRow("parent last") << "data/.." << false;
    QTest::newRow("parent with backslashes") << "data\\..\\..\\evil.txt" << false;
    QTest::newRow("parent, mixed separators") << "data/..\\evil.txt" << false;
    QTest::newRow("parent with a trailing blank") << ".. /evil.txt" << false;
    QTest::newRow("three dots") << ".../evil.txt" << false;
}

void tst_updaterun::safePaths()
{
    QFETCH(QString, path);
    QFETCH(bool, safe);
    QCOMPARE(isSafeRelativePath(path), safe);
}

void tst_updaterun::installOneFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("tempName"); // what the temporary name step gives
    QTest::addColumn<bool>("downloads");
    QTest::addColumn<bool>("replaces");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("releaseTime");
    QTest::addColumn<QStringList>("steps"); // the steps taken, in order

    const QString time = "2024-05-01T10:00:00";
    const QStringList all{"name", "download http://files/d/a.txt to /i/tmps/1.tmp", "replace /i/d/a.txt"};
    QTest::newRow("installed") << "d/a.txt" << "/i/tmps/1.tmp" << true << true << int(FileInstaller::Installed) << ""
                               << time << all + QStringList{"stamp /i/d/a.txt " + time};
    QTest::newRow("installed, the release gives no time") << "d/a.txt" << "/i/tmps/1.tmp" << true << true
                                                          << int(FileInstaller::Installed) << "" << "" << all;
    QTest::newRow("download fails") << "d/a.txt" << "/i/tmps/1.tmp" << false << true
                                    << int(FileInstaller::DownloadFailed) << "HTTP 404" << time << QStringList(all.mid(0, 2));
    QTest::newRow("replacement fails") << "d/a.txt" << "/i/tmps/1.tmp" << true << false
                                       << int(FileInstaller::ReplaceFailed) << "" << time << all;
    QTest::newRow("no temporary name") << "d/a.txt" << "" << true << true << int(FileInstaller::DownloadFailed)
                                       << "no temporary file could be made" << time << QStringList{"name"};
    QTest::newRow("unsafe path: nothing asked for") << "../a.txt" << "/i/tmps/1.tmp" << true << true
                                                    << int(FileInstaller::DownloadFailed) << "unsafe file path" << time << QStringList{};
}

void tst_updaterun::installOneFile()
{
    QFETCH(QString, path);
    QFETCH(QString, tempName);
    QFETCH(bool, downloads);
    QFETCH(bool, replaces);
    QFETCH(QString, releaseTime);

    QStringList steps;
    const FileInstaller installer("/i/", "http://files", {
        [&] { steps << "name"; return tempName; },
        [&](const QString &url, const QString &temp, const ContentCheck &, QString *reason) {
            steps << "download " + url + " to " + temp;
            *reason = "HTTP 404";
            return downloads;
        },
        [&](const QString &, const QString &target) { steps << "replace " + target; return replaces; },
        [&](const QString &target, const QDateTime &time) { steps << "stamp " + target + " " + time.toString(Qt::ISODate); }});
    const FileInstaller::Outcome outcome =
        installer.install(path, ContentCheck(), QDateTime::fromString(releaseTime, Qt::ISODate));
    QTEST(int(outcome.result), "result");
    QTEST(outcome.reason, "reason");
    QTEST(steps, "steps");
}

void tst_updaterun::run_data()
{
    using Files = QList<ReleaseService::File>;
    QTest::addColumn<Files>("files");
    QTest::addColumn<QString>("obstacle"); // made in the installation before the run
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<QString>("progress");
    QTest::addColumn<QString>("box"); // title|text as a pattern; empty: none
    QTest::addColumn<QStringList>("replaced");

    const QString failed = "Download Failed!";
    QTest::newRow("all fine")
        << Files{{"a.txt", "2.0.0", "new a\n"}, {"b/nested.txt", "2.0.0", "b\n"}, {"c.txt", "2.0.0", "c\n"}}
        << "" << QStringList{"a.txt", "b/nested.txt", "c.txt"} << "Downloading (3/3)..." << ""
        << QStringList{"a.txt", "b/nested.txt", "c.txt"};
    QTest::newRow("second download fails")
        << Files{{"a.txt", "2.0.0", "new a\n"}, {"b.txt", "2.0.0", "", false}, {"c.txt", "2.0.0", "c\n"}}
        << "" << QStringList{"a.txt", "b.txt", failed, "c.txt"} << "Downloading (2/3)..."
        << "Error\\|.+: download file \\[b\\.txt\\] failed!" << QStringList{"a.txt", "c.txt"};
    QTest::newRow("unsafe path")
        << Files{{"../evil.txt", "2.0.0", "", false}, {"a.txt", "2.0.0", "new a\n"}}
        << "" << QStringList{"../evil.txt", failed, "a.txt"} << "Downloading (1/2)..."
        << "Error\\|unsafe file path: download file \\[\\.\\./evil\\.txt\\] failed!" << QStringList{"a.txt"};
    QTest::newRow("no temporary name")
        << Files{{"a.txt", "2.0.0", "new a\n"}}
        << "tmps" << QStringList{"a.txt", failed} << "Downloading..."
        << "Error\\|no temporary file could be made: download file \\[a\\.txt\\] failed!" << QStringList{};
    QTest::newRow("replacing fails")
        << Files{{"a.txt", "2.0.0", "new a\n"}, {"c.txt", "2.0.0", "c\n"}}
        << "c.txt/in-the-way" << QStringList{"a.txt", "c.txt"} << "Downloading (1/2)..."
        << "Error\\|Error: cover file \\[c\\.txt\\] failed!" << QStringList{"a.txt"};
}

void tst_updaterun::run()
{
    QFETCH(QList<ReleaseService::File>, files);
    QFETCH(QString, obstacle);
    QFETCH(QStringList, shown);
    QFETCH(QString, progress);
    QFETCH(QString, box);
    QFETCH(QStringList, replaced);
    if (!obstacle.isEmpty())
        QVERIFY(writeFile(installed(obstacle), "in the way\n"));
    QVERIFY(serve(files));

    updateWindow window;
    window.token = "run-token";
    window.show();
    MessageBoxAnswerer answerer;
    window.runUpdate();

    QCOMPARE(window.leQuantity->text(), QString::number(files.size()));
    QCOMPARE(lines(window), shown);
    QCOMPARE(window.teFiles->toHtml().contains("color:#ff0000;"), shown.contains("Download Failed!"));
    QCOMPARE(window.leProgress->text(), progress);
    const QStringList boxes = said(answerer);
    if (box.isEmpty()) {
        QCOMPARE(boxes, QStringList());
    } else {
        QCOMPARE(boxes.size(), 1);
        QVERIFY2(QRegularExpression("^" + box + "$").match(boxes.first()).hasMatch(), qPrintable(boxes.first()));
    }
    for (const ReleaseService::File &file : files) {
        if (file.present)
            QCOMPARE(readFile(installed(file.path)) == file.bytes, replaced.contains(file.path));
    }
    QCOMPARE(QFileInfo::exists(installed("version.xml")), box.isEmpty());
    QVERIFY(!QFileInfo::exists(dir->filePath("evil.txt")));
    QVERIFY(!window.isVisible());
}

void tst_updaterun::closeDuringSecondDownload()
{
    SlowSecondFileServer files;
    QVERIFY(serve({{"a.txt", "2.0.0", "new a\n"}, {"b.bin", "2.0.0", ""}, {"c.txt", "2.0.0", "new c\n"}},
                  {"--download-url", files.baseUrl()}));

    updateWindow window;
    window.token = "NoToken";
    window.show();
    MessageBoxAnswerer answerer;
    QTimer closer;
    connect(&closer, &QTimer::timeout, &window, [&] {
        if (files.secondStarted) {
            closer.stop();
            window.close();
        }
    });
    closer.start(10);
    window.runUpdate();

    QCOMPARE(lines(window), (QStringList{"a.txt", "b.bin", "Download Failed!"}));
    QCOMPARE(window.leProgress->text(), QString("Downloading (1/3)..."));
    QCOMPARE(said(answerer), QStringList());
    QVERIFY(!files.thirdRequested);
    QVERIFY(window.closing);
    QVERIFY(!QFileInfo::exists(installed("version.xml")));
}

QTEST_MAIN(tst_updaterun)
#include "tst_updaterun.moc"
