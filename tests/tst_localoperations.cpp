#include <QtTest>

#include <atomic>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "app/installation.h"
#include "app/updaterenvironment.h"
#include "app/localoperations.h"
#include "app/updatewindow.h"
#include "download/windowspath.h"
#include "tests/support/testfiles.h"
#include "tests/support/testenvironment.h"

namespace {

int modeOf(const QString &path)
{
    struct stat status;
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? int(status.st_mode & 07777) : -1;
}

// Installation files are placed below the installation directory only: tests name it here.
void installAt(const QString &dir)
{
    QDir().mkpath(dir + "/updater");
    UpdaterEnvironment environment = testEnvironment(dir + "/updater");
    UpdaterEnvironment::setForTesting(environment);
}

bool link(const QString &target, const QString &linkPath)
{
    QDir().mkpath(QFileInfo(linkPath).absolutePath());
    return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(linkPath).constData()) == 0;
}

} // namespace

class tst_localoperations : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { UpdaterEnvironment::setForTesting({}); }
    void coverFileReplaces_data();
    void coverFileReplaces();
    void coverFileFailureLeavesTarget_data();
    void coverFileFailureLeavesTarget();
    void coverFileNeverThroughALinkedFolder_data();
    void coverFileNeverThroughALinkedFolder();
    void targetNeverMissingWhileCovered();
    void clearTempFolderEmptiesTheInstallationsFolder();
    void clearTempFolderLeavesALinkedFolder();
    void windowsLongPathForm_data();
    void windowsLongPathForm();

private:
    updateWindow window;
};

void tst_localoperations::coverFileReplaces_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("oldMode"); // -1: no installed file yet
    QTest::addColumn<int>("expectedMode");
    // The downloaded file is made 0600, so a kept mode cannot come from it by chance; a new file
    // gets the usual bits, which its users can read.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    QTest::newRow("missing folder chain") << "plugins/a/b/lib.so" << -1 << int(0666 & ~mask);
    QTest::newRow("over a plain file") << "data/old.dat" << 0644 << 0644;
    QTest::newRow("executable stays executable") << "Trelvox.exe" << 0755 << 0755;
    QTest::newRow("read-only stays read-only") << "readme.txt" << 0444 << 0444;
}

void tst_localoperations::coverFileReplaces()
{
    QFETCH(QString, target);
    QFETCH(int, oldMode);
    QFETCH(int, expectedMode);
    QTemporaryDir root;
    installAt(root.filePath("install"));
    const QString temp = root.filePath("tmps/17.tmp");
    const QString targetPath = root.filePath("install/") + target;
    QVERIFY(writeFile(temp, "new bytes\n") && ::chmod(QFile::encodeName(temp).constData(), 0600) == 0);
    if (oldMode >= 0) {
        QVERIFY(writeFile(targetPath, "old"));
        QVERIFY(::chmod(QFile::encodeName(targetPath).constData(), mode_t(oldMode)) == 0);
    }

    QVERIFY(window.coverFile(temp, targetPath));
    QVERIFY(!QFile::exists(temp));
    QCOMPARE(readFile(targetPath), QByteArray("new bytes\n"));
    QCOMPARE(modeOf(targetPath), expectedMode);
    const QString folder = QFileInfo(targetPath).absolutePath();
    QVERIFY(LocalOperations::syncFolders({folder}));
    QVERIFY(!LocalOperations::syncFolders({folder, folder + "/not-there"})); // one that fails fails them all
}

void tst_localoperations::coverFileFailureLeavesTarget_data()
{
    QTest::addColumn<QString>("temp");      // the downloaded file is always tmps/3.tmp
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("installed"); // holds the bytes that must survive
    QTest::addColumn<bool>("refuse");       // the target's folder refuses changes
    QTest::newRow("temporary file missing") << "tmps/absent.tmp" << "bin/app" << "bin/app" << false;
    QTest::newRow("empty temporary path") << "" << "bin/app" << "bin/app" << false;
    QTest::newRow("temporary path is a folder") << "tmps" << "bin/app" << "bin/app" << false;
    QTest::newRow("target is a folder") << "tmps/3.tmp" << "bin/app" << "bin/app/inside" << false;
    QTest::newRow("folder cannot be created") << "tmps/3.tmp" << "bin/app/sub/x" << "bin/app" << false;
    QTest::newRow("rename refused") << "tmps/3.tmp" << "bin/app" << "bin/app" << true;
}

void tst_localoperations::coverFileFailureLeavesTarget()
{
    QFETCH(QString, temp);
    QFETCH(QString, target);
    QFETCH(QString, installed);
    QFETCH(bool, refuse);
    QTemporaryDir root;
    installAt(root.path());
    QVERIFY(writeFile(root.filePath("tmps/3.tmp"), "new") && writeFile(root.filePath(installed), "old bytes"));
    const QString bin = root.filePath("bin");
    auto restore = qScopeGuard([&] { refuseChanges(bin, false); });
    if (refuse) {
        refuseChanges(bin, true);
        if (writeFile(bin + "/probe", {}))
            QSKIP("this file system lets every change through");
    }

    QVERIFY(!LocalOperations::replaceFile(temp.isEmpty() ? QString() : root.filePath(temp), root.filePath(target), root.path() + "/"));
    QCOMPARE(readFile(root.filePath(installed)), QByteArray("old bytes"));
    QCOMPARE(readFile(root.filePath("tmps/3.tmp")), QByteArray("new"));
}

void tst_localoperations::coverFileNeverThroughALinkedFolder_data()
{
    QTest::addColumn<QString>("linkPath");   // below the installation; empty: none
    QTest::addColumn<QString>("linkTarget"); // "@" stands for the folder outside the installation
    QTest::addColumn<QString>("target");     // relative to the installation
    QTest::addColumn<bool>("placed");
    QTest::newRow("linked folder") << "plugins" << "@" << "plugins/evil.dll" << false;
    QTest::newRow("linked folder deeper down") << "plugins/net" << "@" << "plugins/net/a/evil.dll" << false;
    QTest::newRow("dangling link") << "plugins" << "@/not-yet" << "plugins/evil.dll" << false;
    QTest::newRow("link back inside") << "alias" << "data" << "alias/x.dat" << false;
    QTest::newRow("target outside the installation") << "" << "" << "../outside/evil.dll" << false;
    // Renaming over a linked file replaces the link; what it pointed at stays.
    QTest::newRow("the file itself a link") << "plugins/a.dll" << "@/a.dll" << "plugins/a.dll" << true;
    QTest::newRow("linked folder beside the target's") << "other" << "@" << "plugins/b.dll" << true;
}

void tst_localoperations::coverFileNeverThroughALinkedFolder()
{
    QFETCH(QString, linkPath);
    QFETCH(QString, linkTarget);
    QFETCH(QString, target);
    QFETCH(bool, placed);
    QTemporaryDir root;
    const QString install = root.filePath("install");
    const QString outside = root.filePath("outside");
    installAt(install);
    QVERIFY(writeFile(install + "/tmps/3.tmp", "new") && writeFile(outside + "/a.dll", "elsewhere"));
    QVERIFY(QDir().mkpath(install + "/data"));
    if (!linkPath.isEmpty())
        QVERIFY(link(linkTarget.replace('@', outside), install + '/' + linkPath));

    QCOMPARE(window.coverFile(install + "/tmps/3.tmp", install + '/' + target), placed);
    QCOMPARE(QDir(outside).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"a.dll"});
    QCOMPARE(readFile(outside + "/a.dll"), QByteArray("elsewhere"));
    QCOMPARE(QFileInfo::exists(install + "/tmps/3.tmp"), !placed);
    if (placed)
        QCOMPARE(readFile(install + '/' + target), QByteArray("new"));
}

// A reader looking at the installed file while it is replaced must always find one.
void tst_localoperations::targetNeverMissingWhileCovered()
{
    QTemporaryDir root;
    installAt(root.path());
    const QString target = root.filePath("app.dll");
    QVERIFY(writeFile(target, "0"));
    std::atomic<bool> done{false};
    std::atomic<int> misses{0};
    std::thread reader([&, path = QFile::encodeName(target)] {
        struct stat status;
        while (!done)
            misses += ::stat(path.constData(), &status) != 0;
    });
    for (int i = 1; i <= 100; ++i) {
        const QString temp = root.filePath(QString("%1.tmp").arg(i));
        if (!writeFile(temp, QByteArray::number(i)) || !LocalOperations::replaceFile(temp, target, root.path() + "/"))
            break;
    }
    done = true;
    reader.join();
    QCOMPARE(misses.load(), 0);
    QCOMPARE(readFile(target), QByteArray("100"));
}

void tst_localoperations::clearTempFolderEmptiesTheInstallationsFolder()
{
    QTemporaryDir root;
    QVERIFY(QDir().mkpath(root.filePath("updater")));
    UpdaterEnvironment::setForTesting(testEnvironment(root.filePath("updater")));
    const QString previousCurrent = QDir::currentPath();
    auto restore = qScopeGuard([&] {
        UpdaterEnvironment::setForTesting({});
        QDir::setCurrent(previousCurrent);
    });
    const QList<QPair<QString, bool>> entries = {{"tmps/a.tmp", false},          {"tmps/b.TMP", false},
                                                 {"tmps/c.txt", true},           {"tmps/tmp", true},
                                                 {"tmps/d.tmp/inside.tmp", true}, {"elsewhere/tmps/x.tmp", true}};
    for (const auto &entry : entries)
        QVERIFY(writeFile(root.filePath(entry.first), "x"));
    QVERIFY(QDir::setCurrent(root.filePath("elsewhere")));

    window.clearTempFolder();
    for (const auto &entry : entries)
        QVERIFY2(QFile::exists(root.filePath(entry.first)) == entry.second, qPrintable(entry.first));

    // Without the folder there is nothing to do.
    QVERIFY(QDir(root.filePath("tmps")).removeRecursively());
    window.clearTempFolder();
}

void tst_localoperations::clearTempFolderLeavesALinkedFolder()
{
    QTemporaryDir root;
    installAt(root.path());
    QVERIFY(writeFile(root.filePath("elsewhere/x.tmp"), "x") && link(root.filePath("elsewhere"), root.filePath("tmps")));
    window.clearTempFolder();
    QVERIFY(QFile::exists(root.filePath("elsewhere/x.tmp")));
}

// What every Win32 file call of the updater is given. The long form is taken literally by Windows,
// so a "/" or a ".." left in it names another file, and a relative path none at all.
void tst_localoperations::windowsLongPathForm_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("currentDir");
    QTest::addColumn<QString>("longForm");
    const QString here = "C:/Program Files/Trelvox";
    const QString deep = QString("d/").repeated(150) + "file.dat";
    QTest::newRow("Qt's form of a drive path") << "C:/Trelvox/updater/../tmps/run-1/a.tmp" << here
                                               << "\\\\?\\C:\\Trelvox\\tmps\\run-1\\a.tmp";
    QTest::newRow("a path over 260 characters") << "C:/Trelvox/" + deep << here
                                                << "\\\\?\\C:\\Trelvox\\" + QString(deep).replace('/', '\\');
    QTest::newRow("dots and doubled separators") << "C:\\a\\.\\b\\\\c\\..\\d" << here << "\\\\?\\C:\\a\\b\\d";
    QTest::newRow(".. never above the drive") << "C:/../../a" << here << "\\\\?\\C:\\a";
    QTest::newRow("the drive's root") << "C:/" << here << "\\\\?\\C:\\";
    QTest::newRow("relative") << "updater/../version.xml" << here << "\\\\?\\C:\\Program Files\\Trelvox\\version.xml";
    QTest::newRow("rooted on the current drive") << "/tmps/x" << "D:/Trelvox" << "\\\\?\\D:\\tmps\\x";
    QTest::newRow("relative to the drive's current folder") << "c:version.xml" << here
                                                           << "\\\\?\\C:\\Program Files\\Trelvox\\version.xml";
    QTest::newRow("relative to another drive") << "E:x.txt" << here << "\\\\?\\E:\\x.txt";
    QTest::newRow("share") << "//server/share/Trelvox/a.txt" << here << "\\\\?\\UNC\\server\\share\\Trelvox\\a.txt";
    QTest::newRow(".. never above the share") << "\\\\server\\share\\..\\other\\a" << here
                                             << "\\\\?\\UNC\\server\\share\\other\\a";
    QTest::newRow("relative on a share") << "a.txt" << "//server/share/Trelvox" << "\\\\?\\UNC\\server\\share\\Trelvox\\a.txt";
    QTest::newRow("already long") << "\\\\?\\C:\\a\\..\\b" << here << "\\\\?\\C:\\a\\..\\b";
    QTest::newRow("a device") << "\\\\.\\pipe\\x" << here << "\\\\.\\pipe\\x";
    QTest::newRow("a share without its name") << "//server" << here << QString();
    QTest::newRow("empty") << "" << here << QString();
}

void tst_localoperations::windowsLongPathForm()
{
    QFETCH(QString, path);
    QFETCH(QString, currentDir);
    QFETCH(QString, longForm);
    QCOMPARE(WindowsPath::longForm(path, currentDir), longForm);
}

QTEST_MAIN(tst_localoperations)
#include "tst_localoperations.moc"
