#include <QtTest>

#include <atomic>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "app/installation.h"
#include "app/updatewindow.h"

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

int modeOf(const QString &path)
{
    struct stat status;
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? int(status.st_mode & 07777) : -1;
}

bool setImmutable(const QString &dir, bool on)
{
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return false;
    int flags = 0;
    bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return done;
}

// Makes a folder refuse new names and removals: root ignores permission bits, so it gets the
// immutable attribute as well. False when the file system allows neither.
bool refuseChanges(const QString &dir)
{
    setImmutable(dir, true);
    ::chmod(QFile::encodeName(dir).constData(), 0555);
    QFile probe(dir + "/probe");
    if (!probe.open(QIODevice::WriteOnly))
        return true;
    probe.remove();
    return false;
}

void allowChanges(const QString &dir)
{
    setImmutable(dir, false);
    ::chmod(QFile::encodeName(dir).constData(), 0755);
}

} // namespace

class tst_localoperations : public QObject
{
    Q_OBJECT

private slots:
    void coverFileReplaces_data();
    void coverFileReplaces();
    void coverFileFailureLeavesTarget_data();
    void coverFileFailureLeavesTarget();
    void targetNeverMissingWhileCovered();
    void clearTempFolderEmptiesTheInstallationsFolder();

private:
    updateWindow window;
};

void tst_localoperations::coverFileReplaces_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("oldMode"); // -1: no installed file yet
    QTest::addColumn<int>("expectedMode");
    // The downloaded file is made 0600, so a kept mode cannot come from it by chance.
    QTest::newRow("missing folder chain") << "plugins/a/b/lib.so" << -1 << 0600;
    QTest::newRow("missing file in existing folder") << "new.dat" << -1 << 0600;
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
    const QString temp = root.filePath("tmps/17.tmp");
    const QString targetPath = root.filePath("install/") + target;
    writeFile(temp, "new bytes\n");
    QVERIFY(::chmod(QFile::encodeName(temp).constData(), 0600) == 0);
    QDir().mkpath(root.filePath("install"));
    if (oldMode >= 0) {
        writeFile(targetPath, "old");
        QVERIFY(::chmod(QFile::encodeName(targetPath).constData(), mode_t(oldMode)) == 0);
    }

    QVERIFY(window.coverFile(temp, targetPath));
    QVERIFY(!QFile::exists(temp));
    QCOMPARE(readFile(targetPath), QByteArray("new bytes\n"));
    QCOMPARE(modeOf(targetPath), expectedMode);
}

void tst_localoperations::coverFileFailureLeavesTarget_data()
{
    QTest::addColumn<QString>("failure");
    QTest::newRow("temporary file missing") << "missing";
    QTest::newRow("empty temporary path") << "empty";
    QTest::newRow("temporary path is a folder") << "source folder";
    QTest::newRow("target is a folder") << "target folder";
    QTest::newRow("folder cannot be created") << "blocked folder";
    QTest::newRow("rename refused") << "refused";
}

void tst_localoperations::coverFileFailureLeavesTarget()
{
    QFETCH(QString, failure);
    QTemporaryDir root;
    QString temp = root.filePath("tmps/3.tmp");
    writeFile(temp, "new");
    QString target = root.filePath("install/bin/app");
    // The installed bytes that must survive: the target itself, or a file inside a target folder.
    QString installed = failure == "target folder" ? target + "/inside" : target;
    if (failure == "blocked folder") {
        installed = root.filePath("install/bin");
        target = installed + "/sub/app";
    }
    writeFile(installed, "old bytes");

    if (failure == "missing")
        temp = root.filePath("tmps/absent.tmp");
    else if (failure == "empty")
        temp.clear();
    else if (failure == "source folder")
        temp = root.filePath("tmps");
    const QString bin = root.filePath("install/bin");
    auto restore = qScopeGuard([&] { allowChanges(bin); });
    if (failure == "refused" && !refuseChanges(bin))
        QSKIP("this file system lets every change through");

    QVERIFY(!window.coverFile(temp, target));
    QCOMPARE(readFile(installed), QByteArray("old bytes"));
    QCOMPARE(readFile(root.filePath("tmps/3.tmp")), QByteArray("new"));
}

// A reader looking at the installed file while it is replaced must always find one.
void tst_localoperations::targetNeverMissingWhileCovered()
{
    QTemporaryDir root;
    const QByteArray target = QFile::encodeName(root.filePath("app.dll"));
    writeFile(root.filePath("app.dll"), "0");
    std::atomic<bool> done{false};
    std::atomic<int> misses{0};
    std::thread reader([&] {
        struct stat status;
        while (!done)
            if (::stat(target.constData(), &status) != 0)
                ++misses;
    });
    for (int i = 1; i <= 100; ++i) {
        const QString temp = root.filePath(QString("%1.tmp").arg(i));
        writeFile(temp, QByteArray::number(i));
        if (!window.coverFile(temp, root.filePath("app.dll")))
            break;
    }
    done = true;
    reader.join();
    QCOMPARE(misses.load(), 0);
    QCOMPARE(readFile(root.filePath("app.dll")), QByteArray("100"));
}

void tst_localoperations::clearTempFolderEmptiesTheInstallationsFolder()
{
    QTemporaryDir root;
    QVERIFY(QDir().mkpath(root.filePath("updater")));
    setUpdaterDirectoryForTesting(root.filePath("updater"));
    const QString previousCurrent = QDir::currentPath();
    auto restore = qScopeGuard([&] {
        setUpdaterDirectoryForTesting(QString());
        QDir::setCurrent(previousCurrent);
    });

    const struct
    {
        const char *path;
        bool kept;
    } entries[] = {{"tmps/a.tmp", false},
                   {"tmps/b.TMP", false},
                   {"tmps/c.txt", true},
                   {"tmps/tmp", true},
                   {"tmps/d.tmp/inside.tmp", true},
                   {"elsewhere/tmps/x.tmp", true}};
    for (const auto &entry : entries)
        writeFile(root.filePath(entry.path), "x");
    QVERIFY(QDir::setCurrent(root.filePath("elsewhere")));

    window.clearTempFolder();
    for (const auto &entry : entries)
        QVERIFY2(QFile::exists(root.filePath(entry.path)) == entry.kept, entry.path);
    QVERIFY(QFileInfo(root.filePath("tmps")).isDir());

    // Without the folder there is nothing to do.
    QVERIFY(QDir(root.filePath("tmps")).removeRecursively());
    window.clearTempFolder();
    QVERIFY(!QFile::exists(root.filePath("tmps")));
}

QTEST_MAIN(tst_localoperations)
#include "tst_localoperations.moc"
