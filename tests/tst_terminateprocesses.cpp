#include <QtTest>

#include <unistd.h>

#include "app/terminateprocesses.h"
#include "tests/support/testfiles.h"

namespace {

const char helperOption[] = "--terminate";

// Started processes do not outlive their test.
struct ScopedProcess : QProcess
{
    ~ScopedProcess() override
    {
        kill();
        waitForFinished(1000);
    }

    // Under the unprivileged user on request (as root, through setpriv).
    bool run(const QString &program, const QStringList &arguments, bool asNobody = false)
    {
        if (asNobody)
            start("setpriv", QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", program} + arguments);
        else
            start(program, arguments);
        return waitForStarted(5000);
    }
};

// A stand-in main application in a folder every user may enter: a copy of sleep, or a script
// that waits on its input without starting anything of its own.
QString makeStandIn(const QTemporaryDir &dir, const QString &fileName, bool script = false)
{
    QFile::setPermissions(dir.path(), QFile::permissions(dir.path()) | QFile::ReadOther | QFile::ExeOther);
    QFile file(dir.filePath(fileName));
    if (script && file.open(QIODevice::WriteOnly) && file.write("#!/bin/sh\nread line\n") > 0)
        file.setPermissions(file.permissions() | QFile::ExeOwner | QFile::ExeOther);
    return script || QFile::copy("/bin/sleep", file.fileName()) ? file.fileName() : QString();
}

} // namespace

class tst_terminateprocesses : public QObject
{
    Q_OBJECT

private slots:
    void endsMatchingProcesses_data();
    void endsMatchingProcesses();
    void unprivilegedCaller_data();
    void unprivilegedCaller();
};

void tst_terminateprocesses::endsMatchingProcesses_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<bool>("script");
    QTest::addColumn<bool>("ended");
    QTest::newRow("program of that name") << "Trelvox.exe" << false << true;
    QTest::newRow("script of that name") << "Trelvox.exe" << true << true;
    QTest::newRow("name in the middle") << "oldTrelvox.exe.bak" << false << true;
    QTest::newRow("script, name in the middle") << "myTrelvox.exe.sh" << true << true;
    QTest::newRow("beyond the kernel's command name") << "a-much-longer-name-Trelvox.exe" << false << true;
    QTest::newRow("other letter case") << "trelvox.exe" << false << false;
    QTest::newRow("upper case script") << "TRELVOX.EXE" << true << false;
    QTest::newRow("name cut short") << "Trelvox.ex" << false << false;
}

void tst_terminateprocesses::endsMatchingProcesses()
{
    QFETCH(QString, fileName);
    QFETCH(bool, script);
    QFETCH(bool, ended);
    QTemporaryDir dir;
    const QString program = makeStandIn(dir, fileName, script);
    ScopedProcess standIn;
    QVERIFY(standIn.run(program, script ? QStringList() : QStringList{"60"}));

    QVERIFY(terminateProcesses("Trelvox.exe"));
    QCOMPARE(processRunning(standIn.processId()), !ended);
}

void tst_terminateprocesses::unprivilegedCaller_data()
{
    QTest::addColumn<bool>("rootsFirst");
    QTest::addColumn<bool>("emptyText");
    QTest::newRow("refused match, then an ended one") << true << false;
    QTest::newRow("ended match, then a refused one") << false << false;
    QTest::newRow("empty text") << true << true;
}

// A copy of this suite, named so that it matches itself, ends processes as an unprivileged user:
// it cannot end root's stand-in, must not end itself, and reports its result as exit code.
void tst_terminateprocesses::unprivilegedCaller()
{
    QFETCH(bool, rootsFirst);
    QFETCH(bool, emptyText);
    if (::geteuid() != 0 || QStandardPaths::findExecutable("setpriv").isEmpty())
        QSKIP("needs root and setpriv to run processes under another user");
    // Of this run alone, and short enough to stay whole in the command name, the only name
    // another user can read.
    const QString name = QString("tv%1").arg(QCoreApplication::applicationPid());
    QTemporaryDir dir;
    const QString roots = makeStandIn(dir, "r" + name), nobodys = makeStandIn(dir, "n" + name);
    const QString caller = dir.filePath("c" + name);
    QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), caller));

    ScopedProcess first, second;
    QVERIFY(first.run(rootsFirst ? roots : nobodys, {"60"}, !rootsFirst));
    QVERIFY(second.run(rootsFirst ? nobodys : roots, {"60"}, rootsFirst));
    const qint64 rootsPid = (rootsFirst ? first : second).processId();
    const qint64 nobodysPid = (rootsFirst ? second : first).processId();

    ScopedProcess helper;
    QVERIFY(helper.run(caller, {helperOption, emptyText ? QString() : name}, true));
    QVERIFY(helper.waitForFinished(10000));
    QCOMPARE(helper.exitStatus(), QProcess::NormalExit);
    // Whichever it meets last, the match it could not end fails the whole.
    QCOMPARE(helper.exitCode(), emptyText ? 0 : 1);
    QVERIFY(processRunning(rootsPid));
    QCOMPARE(processRunning(nobodysPid), emptyText);
}

int main(int argc, char **argv)
{
    if (argc == 3 && qstrcmp(argv[1], helperOption) == 0)
        return terminateProcesses(argv[2]) ? 0 : 1;
    QCoreApplication app(argc, argv);
    tst_terminateprocesses suite;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&suite, argc, argv);
}

#include "tst_terminateprocesses.moc"
