#include <QtTest>

#include <iostream>
#include <sstream>

#include "protocol/configfile.h"
#include "tests/support/messageboxanswerer.h"

class tst_configfile : public QObject
{
    Q_OBJECT
private slots:
    void readConfigFile_data();
    void readConfigFile();
};

void tst_configfile::readConfigFile_data()
{
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("echoed");
    QTest::addColumn<QString>("boxText");
    QTest::addColumn<int>("prefetch");

    QTest::newRow("nested") << true
        << QByteArray("<Config><Settings><Update>http://h:8094/api/upgrade</Update></Settings></Config>")
        << "http://h:8094/api/upgrade" << "Config\n" << "" << 0;
    QTest::newRow("first of two wins") << true
        << QByteArray("<c><a><Update>http://first</Update></a><Update>http://second</Update></c>")
        << "http://first" << "c\n" << "" << 0;
    QTest::newRow("empty element") << true << QByteArray("<c><Update/></c>") << "" << "c\n" << "" << 0;
    QTest::newRow("blanks kept") << true << QByteArray("<c><Update>  http://h/u\n </Update></c>")
        << "  http://h/u\n " << "c\n" << "" << 0;
    QTest::newRow("text and CDATA joined") << true
        << QByteArray("<c><Update>http://h<![CDATA[:1/]]>p</Update></c>") << "http://h:1/p" << "c\n" << "" << 0;
    QTest::newRow("no Update element") << true << QByteArray("<?xml version=\"1.0\"?><Vendor x=\"1\"/>")
        << "" << "Vendor\n" << "" << 0;
    QTest::newRow("root is Update") << true << QByteArray("<Update>http://root</Update>")
        << "http://root" << "Update\n" << "" << 0;
    QTest::newRow("missing file") << false << QByteArray() << "" << "" << "open config.xml failed!" << 0;
    QTest::newRow("broken xml") << true << QByteArray("<c><Prefetch>4</Prefetch><Update>http://h</c>") << "" << ""
        << "open config.xml as xml failed!" << 0;
    QTest::newRow("empty file") << true << QByteArray() << "" << "" << "open config.xml as xml failed!" << 0;
    QTest::newRow("prefetch") << true << QByteArray("<c><Update>http://h</Update><Prefetch>6</Prefetch></c>")
        << "http://h" << "c\n" << "" << 6;
    QTest::newRow("prefetch: first of two, nested, blanks around") << true
        << QByteArray("<c><s><Prefetch> 3\n</Prefetch></s><Prefetch>5</Prefetch></c>") << "" << "c\n" << "" << 3;
    QTest::newRow("prefetch: bounded") << true << QByteArray("<c><Prefetch>1000</Prefetch></c>") << "" << "c\n" << "" << 16;
    QTest::newRow("prefetch: not a number") << true << QByteArray("<c><Prefetch>six</Prefetch></c>") << "" << "c\n" << "" << 0;
    QTest::newRow("prefetch: negative") << true << QByteArray("<c><Prefetch>-2</Prefetch></c>") << "" << "c\n" << "" << 0;
    QTest::newRow("prefetch: empty") << true << QByteArray("<c><Prefetch/></c>") << "" << "c\n" << "" << 0;
}

void tst_configfile::readConfigFile()
{
    QFETCH(bool, exists);
    QFETCH(QByteArray, content);
    QFETCH(QString, url);
    QFETCH(QString, echoed);
    QFETCH(QString, boxText);
    QFETCH(int, prefetch);

    QTemporaryDir dir;
    const QString path = dir.filePath("config.xml");
    if (exists) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    MessageBoxAnswerer answerer;
    std::ostringstream out;
    std::streambuf *const saved = std::cout.rdbuf(out.rdbuf());
    const ConfigFile config = ::readConfigFile(path);
    std::cout.rdbuf(saved);

    QCOMPARE(config.updateUrl, url);
    QCOMPARE(config.prefetch, prefetch);
    QCOMPARE(QString::fromStdString(out.str()), echoed);
    if (boxText.isEmpty()) {
        QVERIFY(answerer.boxes.isEmpty());
    } else {
        QCOMPARE(answerer.boxes.size(), 1);
        QCOMPARE(answerer.boxes[0].title, QString("Error"));
        QCOMPARE(answerer.boxes[0].text, boxText);
    }
}

QTEST_MAIN(tst_configfile)
#include "tst_configfile.moc"
