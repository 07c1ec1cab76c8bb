#include <QtTest>

#include <unistd.h>

#include "app/terminateprocesses.h"

namespace {

// Running: present in /proc and not a zombie waiting to be reaped.
bool isRunning(qint64 pid)
{
    QFile stat(QString("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    const int state = line.lastIndexOf(')') + 2;
    return state > 1 && state < line.size() && line.at(state) != 'Z';
}

// A folder every user may read, so that stand-ins can run under another user.
QString openFolder(const QTemporaryDir &dir)
{
    QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                          | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    return dir.path();
}

// A stand-in main application: a copy of sleep, or a script that waits on its input without
// starting anything of its own.
QString makeStandIn(const QString &folder, const QString &fileName, bool script)
{
    const QString path = folder + "/" + fileName;
    if (script) {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write("#!/bin/sh\nread line\n") < 0)
            return {};
        file.setPermissions(file.permissions() | QFile::ExeOwner | QFile::ExeOther);
    } else if (!QFile::copy("/bin/sleep", path)) {
        return {};
    }
    return path;
}

// Started processes do not outlive their test.
struct ScopedProcess : QProcess
{
    ~ScopedProcess() override
    {
        kill();
        waitForFinished(1000);
    }
};

// Starts the program, under the unprivileged user when asked (as root only).
bool start(QProcess &process, const QString &program, const QStringList &arguments, bool asNobody = false)
{
    if (asNobody)
        process.start("setpriv", QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", program}
                                     + arguments);
    else
        process.start(program, arguments);
    return process.waitForStarted(5000);
}

// Under another name, a copy of this suite ends processes for the test and answers with its exit code.
const char helperOption[] = "--terminate";

} // namespace

class tst_terminateprocesses : public QObject
{
    Q_OBJECT

private slots:
    void endsMatchingProcesses_data();
    void endsMatchingProcesses();
    void callerSurvivesItsOwnName();
    void lastMatchDecides_data();
    void lastMatchDecides();
    void emptyNameEndsNothing();

private:
    bool canChangeUser() const { return ::geteuid() == 0 && !QStandardPaths::findExecutable("setpriv").isEmpty(); }
    QString helperCopy(const QString &folder, const QString &fileName) const;
};

QString tst_terminateprocesses::helperCopy(const QString &folder, const QString &fileName) const
{
    const QString path = folder + "/" + fileName;
    return QFile::copy(QCoreApplication::applicationFilePath(), path) ? path : QString();
}

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
    const QString program = makeStandIn(dir.path(), fileName, script);
    QVERIFY(!program.isEmpty());
    ScopedProcess standIn;
    QVERIFY(start(standIn, program, script ? QStringList() : QStringList{"60"}));

    QVERIFY(terminateProcesses("Trelvox.exe"));
    QCOMPARE(isRunning(standIn.processId()), !ended);
    if (ended) {
        QVERIFY(standIn.waitForFinished(5000));
        QCOMPARE(standIn.exitStatus(), QProcess::CrashExit);
    }
}

void tst_terminateprocesses::callerSurvivesItsOwnName()
{
    // A name of this run alone, so that no one else's processes are ended.
    const QString name = QString("Trelvox.exe-%1").arg(QCoreApplication::applicationPid());
    QTemporaryDir dir;
    const QString caller = helperCopy(dir.path(), name);
    const QString other = makeStandIn(dir.path(), "other-" + name, false);
    QVERIFY(!caller.isEmpty() && !other.isEmpty());
    ScopedProcess standIn;
    QVERIFY(start(standIn, other, {"60"}));

    ScopedProcess helper;
    QVERIFY(start(helper, caller, {helperOption, name}));
    QVERIFY(helper.waitForFinished(10000));
    QCOMPARE(helper.exitStatus(), QProcess::NormalExit);
    QCOMPARE(helper.exitCode(), 0);
    QVERIFY(!isRunning(standIn.processId()));
}

void tst_terminateprocesses::lastMatchDecides_data()
{
    QTest::addColumn<bool>("refusedFirst");
    QTest::newRow("refused match, then an ended one") << true;
    QTest::newRow("ended match, then a refused one") << false;
}

// The unprivileged caller cannot end root's process; the match listed last gives the result.
void tst_terminateprocesses::lastMatchDecides()
{
    QFETCH(bool, refusedFirst);
    if (!canChangeUser())
        QSKIP("needs root and setpriv to run processes under another user");
    // Short enough to stay whole in the kernel's command name, the only name another user can read.
    const QString name = QString("tv%1").arg(QCoreApplication::applicationPid());
    QTemporaryDir dir;
    const QString folder = openFolder(dir);
    const QString caller = helperCopy(folder, "caller");
    const QString rootsProgram = makeStandIn(folder, "r" + name, false);
    const QString nobodysProgram = makeStandIn(folder, "n" + name, false);
    QVERIFY(!caller.isEmpty() && !rootsProgram.isEmpty() && !nobodysProgram.isEmpty());

    ScopedProcess roots, nobodys;
    if (refusedFirst) {
        QVERIFY(start(roots, rootsProgram, {"60"}));
        QVERIFY(start(nobodys, nobodysProgram, {"60"}, true));
    } else {
        QVERIFY(start(nobodys, nobodysProgram, {"60"}, true));
        QVERIFY(start(roots, rootsProgram, {"60"}));
    }
    // Processes are examined in ascending id order; ids may wrap, so take the order that happened.
    const bool expected = nobodys.processId() > roots.processId();

    ScopedProcess helper;
    QVERIFY(start(helper, caller, {helperOption, name}, true));
    QVERIFY(helper.waitForFinished(10000));
    QCOMPARE(helper.exitStatus(), QProcess::NormalExit);
    QCOMPARE(helper.exitCode(), expected ? 0 : 1);
    QVERIFY(isRunning(roots.processId()));
    QVERIFY(!isRunning(nobodys.processId()));
}

// Run unprivileged: were every process to match, the damage stays with the test's own.
void tst_terminateprocesses::emptyNameEndsNothing()
{
    if (!canChangeUser())
        QSKIP("needs root and setpriv to run processes under another user");
    QTemporaryDir dir;
    const QString folder = openFolder(dir);
    const QString caller = helperCopy(folder, "caller");
    const QString program = makeStandIn(folder, "bystander", false);
    QVERIFY(!caller.isEmpty() && !program.isEmpty());
    ScopedProcess bystander;
    QVERIFY(start(bystander, program, {"60"}, true));

    ScopedProcess helper;
    QVERIFY(start(helper, caller, {helperOption, ""}, true));
    QVERIFY(helper.waitForFinished(10000));
    QCOMPARE(helper.exitCode(), 0);
    QVERIFY(isRunning(bystander.processId()));
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
