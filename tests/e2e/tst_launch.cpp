#include <QtTest>

#include <future>

#include "tests/support/loopbackserver.h"
#include "tests/support/testfiles.h"
#include "tests/support/xvfbdisplay.h"

// Starting the real updater through the launcher, as the main application would, on a private display.
class tst_launch : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void withoutSegmentSaysLoginFailed();
    void withTokenShowsTheWindow();

private:
    bool launch(const QStringList &launcherArguments);
    bool finishes(int timeoutMs);

    XvfbDisplay display;
    QTemporaryDir installation;
    QProcess launcher;
};

void tst_launch::initTestCase()
{
    QVERIFY2(display.isRunning(), "Xvfb did not start");
}

void tst_launch::init()
{
    QVERIFY(installation.isValid());
    QVERIFY(QDir(installation.path()).mkpath("updater"));
    QFile::remove(installation.filePath("updater/updater"));
    QVERIFY(QFile::copy(UPDATER_BIN, installation.filePath("updater/updater")));
}

void tst_launch::cleanup()
{
    finishes(0);
}

bool tst_launch::launch(const QStringList &launcherArguments)
{
    launcher.setProcessEnvironment(display.environment());
    launcher.start(UPDATER_LAUNCH_BIN, launcherArguments + QStringList{installation.filePath("updater/updater")});
    return launcher.waitForStarted(10000);
}

bool tst_launch::finishes(int timeoutMs)
{
    if (launcher.state() == QProcess::NotRunning || launcher.waitForFinished(timeoutMs))
        return true;
    launcher.kill();
    launcher.waitForFinished();
    return false;
}

void tst_launch::withoutSegmentSaysLoginFailed()
{
    QVERIFY(launch({"--no-segment"}));
    // A box without a title carries the program's name.
    const QStringList boxes = display.waitForWindows("^updater$", 20000);
    QCOMPARE(boxes.size(), 1);
    QVERIFY(display.pressKey(boxes.first(), "Return"));
    QVERIFY(finishes(20000));
    QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(launcher.exitCode(), 0);
}

void tst_launch::withTokenShowsTheWindow()
{
    // The service holds its answer until the window has been looked at, then refuses.
    std::promise<void> looked;
    std::shared_future<void> lookedAt = looked.get_future().share();
    LoopbackServer service;
    service.http().Post("/api/upgrade", [lookedAt](const httplib::Request &, httplib::Response &response) {
        lookedAt.wait_for(std::chrono::seconds(30));
        response.status = 404;
    });
    service.start();
    QVERIFY(writeConfigXml(installation.filePath("updater"), service.url("/api/upgrade")));

    QVERIFY(launch({"--token", "e2e-token"}));
    // Everything is read off the window before the service may answer and the window close.
    const QStringList windows = display.waitForWindows("^update$", 20000);
    const QSize size = windows.isEmpty() ? QSize() : display.windowSize(windows.first());
    looked.set_value();
    QCOMPARE(windows.size(), 1);
    QCOMPARE(size, QSize(400, 304));
    // The refused query closes the window and the process ends.
    QVERIFY(finishes(30000));
    QCOMPARE(launcher.exitCode(), 0);
}

QTEST_GUILESS_MAIN(tst_launch)
#include "tst_launch.moc"
