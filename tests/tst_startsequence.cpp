#include <QtTest>

#include <QSharedMemory>

#include "app/installation.h"
#include "app/updaterenvironment.h"
#include "app/updatewindow.h"
#include "app/logintoken.h"
#include "launcher/updaterstart.h"
#include "tests/support/messageboxanswerer.h"
#include "tests/support/testfiles.h"
#include "tests/support/testenvironment.h"

namespace {

QByteArray serialised(const QString &token)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream << token;
    return bytes;
}

} // namespace

// The login token's hand-over through the segment "Download_inf". Every case with a token goes on
// into the run, which here finds no service and only closes the window.
class tst_startsequence : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void missingSegment();
    void tokenFromBytes_data();
    void tokenFromBytes();
    void segmentContent_data();
    void segmentContent();
    void startThroughTheShell_data();
    void startThroughTheShell();
    void elevationOnlyWhenRequired_data();
    void elevationOnlyWhenRequired();

private:
    QTemporaryDir installation;
};

void tst_startsequence::init()
{
    QVERIFY(installation.isValid());
    QDir(installation.path()).mkpath("updater");
    // An endpoint nobody listens on, so the run ends at once without a config box.
    QVERIFY(writeConfigXml(installation.filePath("updater"), "http://127.0.0.1:1/api/upgrade"));
    UpdaterEnvironment environment = testEnvironment(installation.filePath("updater"));
    environment.queryLimits.retry.maxAttempts = 1;
    UpdaterEnvironment::setForTesting(environment);
}

void tst_startsequence::cleanup()
{
    UpdaterEnvironment::setForTesting({});
}

void tst_startsequence::missingSegment()
{
    MessageBoxAnswerer answerer;
    updateWindow window;
    window.on_btnTest_clicked();
    QCOMPARE(answerer.boxes.size(), 1);
    QCOMPARE(answerer.boxes.first().text, QString("LoginFailed"));
    QVERIFY(window.token.isEmpty());
}

void tst_startsequence::tokenFromBytes_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("token");

    QTest::newRow("token") << serialised("abc123") << "abc123";
    QTest::newRow("NoToken is a token like any other") << serialised("NoToken") << "NoToken";
    QTest::newRow("blanks and non-ASCII kept") << serialised(QString::fromUtf8(" t\u00f6ken ")) << QString::fromUtf8(" t\u00f6ken ");
    QTest::newRow("bytes after the text ignored") << serialised("tok") + QByteArray(64, 'x') << "tok";
    QTest::newRow("empty text") << QByteArray::fromHex("00000000") << "";
    QTest::newRow("null text") << QByteArray::fromHex("ffffffff") << "";
    QTest::newRow("length past the end") << QByteArray::fromHex("0000001000410042") << "";
    QTest::newRow("shorter than a length") << QByteArray::fromHex("0000") << "";
}

void tst_startsequence::tokenFromBytes()
{
    QFETCH(QByteArray, content);
    QTEST(loginTokenFrom(content), "token");
}

void tst_startsequence::segmentContent_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("token");

    QTest::newRow("token") << serialised("abc123") << "abc123";
    QTest::newRow("length past the end") << QByteArray::fromHex("0000001000410042") << "";
}

void tst_startsequence::segmentContent()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, token);

    QSharedMemory segment("Download_inf");
    QVERIFY2(segment.create(content.size()), qPrintable(segment.errorString()));
    memcpy(segment.data(), content.constData(), size_t(content.size()));

    MessageBoxAnswerer answerer;
    updateWindow window;
    window.show();
    window.on_btnTest_clicked();

    QCOMPARE(window.token, token);
    if (token.isEmpty()) {
        // No update: one box, without any text.
        QCOMPARE(answerer.boxes.size(), 1);
        QCOMPARE(answerer.boxes.first().text, QString());
        QVERIFY(window.isVisible());
    } else {
        // The run ran (and found no service): no box, and the window was closed.
        QCOMPARE(answerer.boxes.size(), 0);
        QVERIFY(window.closing);
        QVERIFY(window.isHidden());
    }
}

// Wine starts every program with full rights, so the way through the shell's elevation is shown
// here: what ShellExecuteExW is handed, its arguments as the updater's command line splits them again.
void tst_startsequence::startThroughTheShell_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("parameters");
    QTest::newRow("none") << QStringList() << QString();
    QTest::newRow("plain words") << QStringList{"--token", "abc"} << "--token abc";
    QTest::newRow("a blank") << QStringList{"C:/Program Files/x"} << "\"C:/Program Files/x\"";
    QTest::newRow("an empty word") << QStringList{"a", "", "b"} << "a \"\" b";
    QTest::newRow("a quote") << QStringList{"say \"hi\""} << "\"say \\\"hi\\\"\"";
    QTest::newRow("backslashes before a quote") << QStringList{"a\\\"b"} << "\"a\\\\\\\"b\"";
    QTest::newRow("a trailing backslash in quotes") << QStringList{"C:\\Program Files\\"} << "\"C:\\Program Files\\\\\"";
    QTest::newRow("backslashes elsewhere stay") << QStringList{"C:\\a\\b"} << "C:\\a\\b";
}

void tst_startsequence::startThroughTheShell()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, parameters);
    const UpdaterStart::ShellRequest request
        = UpdaterStart::shellRequest("C:/Program Files/Trelvox/updater/updater.exe", arguments, "C:/Users/x");
    QCOMPARE(request.verb, QString("runas"));
    QCOMPARE(request.file, QString("C:\\Program Files\\Trelvox\\updater\\updater.exe"));
    QCOMPARE(request.parameters, parameters);
    QCOMPARE(request.directory, QString("C:\\Users\\x"));
}

void tst_startsequence::elevationOnlyWhenRequired_data()
{
    QTest::addColumn<uint>("error");
    QTest::addColumn<bool>("elevate");
    QTest::newRow("ERROR_ELEVATION_REQUIRED") << 740u << true;
    // Elevation would not help, and would only ask the user for nothing.
    QTest::newRow("ERROR_ACCESS_DENIED") << 5u << false;
    QTest::newRow("ERROR_FILE_NOT_FOUND") << 2u << false;
    QTest::newRow("ERROR_BAD_EXE_FORMAT") << 193u << false;
}

void tst_startsequence::elevationOnlyWhenRequired()
{
    QFETCH(uint, error);
    QTEST(UpdaterStart::needsElevation(error), "elevate");
}

QTEST_MAIN(tst_startsequence)
#include "tst_startsequence.moc"
