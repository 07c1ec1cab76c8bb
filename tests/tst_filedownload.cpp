#include <QtTest>

#include <QNetworkReply>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <thread>

#include "app/installation.h"
#include "app/updaterenvironment.h"
#include "app/updatewindow.h"
#include "download/downloadnetworkmanager.h"
#include "download/tempfolder.h"
#include "tests/support/loopbackserver.h"
#include "tests/support/testenvironment.h"

namespace {

class QueuedCallCounter : public QObject
{
public:
    explicit QueuedCallCounter(QObject *target) { target->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        count += event->type() == QEvent::MetaCall;
        return false;
    }
};

} // namespace

class tst_filedownload : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir root;
    QTemporaryDir elsewhere;
    QString installation; // as the updater forms it, "<updater>/../"
    const QDateTime moment = QDateTime(QDate(2026, 3, 4), QTime(5, 6, 7, 89));
    const QString stamp = "2026-03-04-05-06-07-089";
    LoopbackServer server;
    std::atomic<bool> releaseStalled{false};

    void touch(const QString &path)
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(root.isValid());
        QVERIFY(QDir(root.path()).mkdir("updater"));
        UpdaterEnvironment::setForTesting(testEnvironment(root.filePath("updater"), moment));
        installation = Installation::installationDirectory();

        server.http().Get("/file", [](const httplib::Request &, httplib::Response &res) {
            res.set_content("payload", "application/octet-stream");
        });
        server.http().Get("/empty", [](const httplib::Request &, httplib::Response &res) {
            res.set_content("", "application/octet-stream");
        });
        server.http().Get("/missing", [](const httplib::Request &, httplib::Response &res) {
            res.status = 404;
            res.set_content("gone", "text/plain");
        });
        server.http().Get("/stall", [this](const httplib::Request &, httplib::Response &res) {
            res.set_chunked_content_provider("application/octet-stream", [this](size_t, httplib::DataSink &sink) {
                sink.write("begin", 5);
                while (!releaseStalled)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                return false;
            });
        });
        server.start();
    }

    void cleanupTestCase()
    {
        releaseStalled = true;
        UpdaterEnvironment::setForTesting({});
    }

    void init()
    {
        QFile::remove(root.filePath("tmps")); // a link or a file; never what a link points at
        QDir(root.filePath("tmps")).removeRecursively();
    }

    // The run's private folder below tmps, as the test sees it after open().
    QString runFolder()
    {
        const QStringList runs = QDir(root.filePath("tmps")).entryList({"run-*"}, QDir::Dirs);
        return runs.size() == 1 ? root.filePath("tmps/" + runs.first()) : QString();
    }

    void folderOnFirstNeed_data()
    {
        QTest::addColumn<bool>("folderExists");
        QTest::newRow("missing: created, current directory moves") << false;
        QTest::newRow("existing: current directory stays") << true;
    }
    void folderOnFirstNeed()
    {
        QFETCH(bool, folderExists);
        if (folderExists) {
            QVERIFY(QDir(root.path()).mkdir("tmps"));
            // Loose, as an installation folder often is: the run's folder must not be.
            QVERIFY(QFile::setPermissions(root.filePath("tmps"), QFileDevice::Permissions(0x7777)));
        }
        const QString before = QDir::currentPath();

        TempFolder folder;
        QVERIFY2(folder.open(installation), qPrintable(folder.errorString()));
        const QString path = folder.createFile(moment);
        QVERIFY(QRegularExpression("^" + QRegularExpression::escape(installation + "/tmps/") + "run-[0-9a-z]+/"
                                   + stamp + "\\.tmp$").match(path).hasMatch());
        QCOMPARE(QFileInfo(runFolder()).permissions() & 0x0077, QFileDevice::Permissions());
        QVERIFY(QFileInfo(path).isFile());
        QVERIFY(folder.handle(path) >= 0);
        const QString expected = folderExists ? before : QFileInfo(root.path()).canonicalFilePath();
        QCOMPARE(QFileInfo(QDir::currentPath()).canonicalFilePath(), QFileInfo(expected).canonicalFilePath());
        QDir::setCurrent(before);
    }

    void takenNames_data()
    {
        QTest::addColumn<int>("taken");
        QTest::addColumn<QString>("kind"); // what takes the names
        QTest::addColumn<QString>("name");
        QTest::newRow("free") << 0 << "file" << stamp + ".tmp";
        QTest::newRow("first taken") << 1 << "file" << stamp + "_1.tmp";
        QTest::newRow("two taken") << 2 << "file" << stamp + "_2.tmp";
        QTest::newRow("a folder") << 1 << "folder" << stamp + "_1.tmp";
        // Never treated as free, and never followed: its target must not come into being.
        QTest::newRow("a dangling link") << 1 << "link" << stamp + "_1.tmp";
        QTest::newRow("all but the last") << 999 << "file" << stamp + "_999.tmp";
        QTest::newRow("all 1000 taken") << 1000 << "file" << QString();
    }
    void takenNames()
    {
        QFETCH(int, taken);
        QFETCH(QString, kind);
        QFETCH(QString, name);
        TempFolder folder;
        QVERIFY(folder.open(installation));
        for (int i = 0; i < taken; ++i) {
            const QString path = runFolder() + "/" + stamp + (i ? QString("_%1").arg(i) : QString()) + ".tmp";
            if (kind == "folder")
                QVERIFY(QDir().mkdir(path));
            else if (kind == "link")
                QVERIFY(QFile::link(elsewhere.filePath("planted"), path));
            else
                touch(path);
        }
        const QString run = installation + "/tmps/" + QFileInfo(runFolder()).fileName() + "/";
        QCOMPARE(folder.createFile(moment), name.isEmpty() ? QString() : run + name);
        QVERIFY(!QFileInfo::exists(elsewhere.filePath("planted")));
    }

    void folderThatCannotBeUsed_data()
    {
        QTest::addColumn<QString>("linkTarget"); // empty: a plain file takes the folder's name
        QTest::newRow("a file in its place") << QString();
        // A download through a linked folder would land outside the installation.
        QTest::newRow("link to a folder elsewhere") << elsewhere.path();
        QTest::newRow("dangling link") << elsewhere.filePath("not-yet");
    }
    void folderThatCannotBeUsed()
    {
        QFETCH(QString, linkTarget);
        if (linkTarget.isEmpty())
            touch(root.filePath("tmps"));
        else
            QVERIFY(QFile::link(linkTarget, root.filePath("tmps")));
        const QString before = QDir::currentPath();
        TempFolder folder;
        QVERIFY(!folder.open(installation));
        QVERIFY(!folder.errorString().isEmpty());
        QCOMPARE(folder.createFile(moment), QString());
        QCOMPARE(QDir(elsewhere.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
        QFile::remove(root.filePath("tmps"));
        QDir::setCurrent(before);
    }

    // Clearing takes this run's folder and the private ones earlier runs left, nothing else.
    void clearRemovesOnlyPrivateFolders()
    {
        QVERIFY(QDir().mkpath(root.filePath("tmps/run-left")));
        QVERIFY(QFile::setPermissions(root.filePath("tmps/run-left"), QFileDevice::Permissions(0x7700)));
        touch(root.filePath("tmps/run-left/old.tmp"));
        QVERIFY(QDir().mkpath(root.filePath("tmps/run-open"))); // readable by all: not one of ours
        touch(root.filePath("tmps/run-open/keep.tmp"));
        QVERIFY(QFile::link(elsewhere.path(), root.filePath("tmps/run-linked")));
        touch(elsewhere.filePath("keep.tmp"));
        touch(root.filePath("tmps/other.txt"));

        TempFolder folder;
        QVERIFY(folder.open(installation));
        QVERIFY(!folder.createFile(moment).isEmpty());
        folder.clear(installation);
        QCOMPARE(QDir(root.filePath("tmps")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
                 (QStringList{"other.txt", "run-linked", "run-open"}));
        QVERIFY(QFileInfo::exists(elsewhere.filePath("keep.tmp")));
        QVERIFY(QFileInfo::exists(root.filePath("tmps/run-open/keep.tmp")));
        QFile::remove(elsewhere.filePath("keep.tmp"));
    }

    void downloads_data()
    {
        QTest::addColumn<QString>("urlPath");
        QTest::addColumn<bool>("noName");
        QTest::addColumn<bool>("result");
        QTest::addColumn<QString>("downloaded");
        QTest::newRow("file") << "/file" << false << true << "7.00 Bytes";
        QTest::newRow("empty file") << "/empty" << false << true << "0.00 ";
        QTest::newRow("not found") << "/missing" << false << false << "0 KB";
        QTest::newRow("no temporary name") << "/file" << true << false << "7.00 Bytes";
    }
    void downloads()
    {
        QFETCH(QString, urlPath);
        QFETCH(bool, noName);
        QFETCH(bool, result);
        QFETCH(QString, downloaded);

        updateWindow w;
        const QString path = noName ? QString() : w.makeTempFileName();
        QCOMPARE(w.downloadFile(server.url(urlPath), path), result);
        QCOMPARE(w.downloadManager->errorCode() == 0, result);
        QCOMPARE(w.downloadManager->errorString().isEmpty(), result);
        if (result)
            QVERIFY(QFileInfo(path).isFile());
        // The progress reports are queued; the last one has run by the time the wait ends.
        if (urlPath != "/missing")
            QCOMPARE(w.leDownLoaded->text(), downloaded);
    }

    void managerIsKeptAndConnectedOnce()
    {
        updateWindow w;
        QVERIFY(w.downloadFile(server.url("/file"), w.makeTempFileName()));
        DownloadNetworkManager *manager = w.downloadManager;
        QCOMPARE(manager->parent()->parent(), &w); // through the window's run
        QVERIFY(w.downloadFile(server.url("/file"), w.makeTempFileName()));
        QCOMPARE(w.downloadManager, manager);

        // Queued calls arrive as events: one progress report makes one call on the window, and a
        // finish outside a download reaches no event loop.
        QueuedCallCounter windowCalls(&w);
        QueuedCallCounter loopCalls(&w.eventLoop);
        emit manager->downloadProgress(10, 20);
        emit manager->replyFinished();
        QCoreApplication::processEvents();
        QCOMPARE(windowCalls.count, 1);
        QCOMPARE(loopCalls.count, 0);
        QCOMPARE(w.leFileSize->text(), QString("20.00 Bytes"));
    }

    void closingEndsTheWait()
    {
        updateWindow w;
        w.show();
        QTimer::singleShot(300, &w, &QWidget::close);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!w.downloadFile(server.url("/stall"), w.makeTempFileName()));
        QVERIFY(clock.elapsed() < 10000);
        QVERIFY(w.closing);
        QVERIFY(!w.isVisible());
        QCOMPARE(w.downloadManager->errorCode(), int(QNetworkReply::OperationCanceledError));
    }
};

QTEST_MAIN(tst_filedownload)
#include "tst_filedownload.moc"
