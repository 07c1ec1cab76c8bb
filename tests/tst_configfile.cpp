#include <QtTest>

#include <iostream>
#include <sstream>

#include "app/installation.h"
#include "protocol/configfile.h"
#include "protocol/systemproxy.h"
#include "tests/support/messageboxanswerer.h"

class tst_configfile : public QObject
{
    Q_OBJECT
private slots:
    void readUpdateUrl_data();
    void readUpdateUrl();
    void readPrefetch_data();
    void readPrefetch();
    void systemProxyLists_data();
    void systemProxyLists();
};

void tst_configfile::readUpdateUrl_data()
{
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("echoed");
    QTest::addColumn<QString>("boxText");

    QTest::newRow("nested") << true
        << QByteArray("<Config><Settings><Update>http://h:8094/api/upgrade</Update></Settings></Config>")
        << "http://h:8094/api/upgrade" << "Config\n" << "";
    QTest::newRow("first of two wins") << true
        << QByteArray("<c><a><Update>http://first</Update></a><Update>http://second</Update></c>")
        << "http://first" << "c\n" << "";
    QTest::newRow("empty element") << true << QByteArray("<c><Update/></c>") << "" << "c\n" << "";
    QTest::newRow("blanks kept") << true << QByteArray("<c><Update>  http://h/u\n </Update></c>")
        << "  http://h/u\n " << "c\n" << "";
    QTest::newRow("text and CDATA joined") << true
        << QByteArray("<c><Update>http://h<![CDATA[:1/]]>p</Update></c>") << "http://h:1/p" << "c\n" << "";
    QTest::newRow("no Update element") << true << QByteArray("<?xml version=\"1.0\"?><Vendor x=\"1\"/>")
        << "" << "Vendor\n" << "";
    QTest::newRow("root is Update") << true << QByteArray("<Update>http://root</Update>")
        << "http://root" << "Update\n" << "";
    QTest::newRow("missing file") << false << QByteArray() << "" << "" << "open config.xml failed!";
    QTest::newRow("broken xml") << true << QByteArray("<c><Update>http://h</c>") << "" << ""
        << "open config.xml as xml failed!";
    QTest::newRow("empty file") << true << QByteArray() << "" << "" << "open config.xml as xml failed!";
    const auto nested = [](int levels) {
        return QByteArray("<c>").repeated(levels - 1) + "<Update>http://deep</Update>"
            + QByteArray("</c>").repeated(levels - 1);
    };
    QTest::newRow("256 levels") << true << nested(256) << "http://deep" << "c\n" << "";
    QTest::newRow("257 levels are broken") << true << nested(257) << "" << "" << "open config.xml as xml failed!";
    QTest::newRow("50000 levels are broken") << true << nested(50000) << "" << "" << "open config.xml as xml failed!";
}

void tst_configfile::readUpdateUrl()
{
    QFETCH(bool, exists);
    QFETCH(QByteArray, content);
    QFETCH(QString, url);
    QFETCH(QString, echoed);
    QFETCH(QString, boxText);

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
    const QString result = Installation::readUpdateUrl(readUpdaterConfig(path));
    std::cout.rdbuf(saved);

    QCOMPARE(result, url);
    QCOMPARE(QString::fromStdString(out.str()), echoed);
    if (boxText.isEmpty()) {
        QVERIFY(answerer.boxes.isEmpty());
    } else {
        QCOMPARE(answerer.boxes.size(), 1);
        QCOMPARE(answerer.boxes[0].title, QString("Error"));
        QCOMPARE(answerer.boxes[0].text, boxText);
    }
}

void tst_configfile::readPrefetch_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("prefetch");
    QTest::newRow("none") << QByteArray("<c><Update>http://h</Update></c>") << 0;
    QTest::newRow("a number") << QByteArray("<c><Update>http://h</Update><Prefetch>6</Prefetch></c>") << 6;
    QTest::newRow("first of two, nested, blanks around") << QByteArray("<c><s><Prefetch> 3\n</Prefetch></s><Prefetch>5</Prefetch></c>") << 3;
    QTest::newRow("bounded") << QByteArray("<c><Prefetch>1000</Prefetch></c>") << 16;
    QTest::newRow("not a number") << QByteArray("<c><Prefetch>six</Prefetch></c>") << 0;
    QTest::newRow("negative") << QByteArray("<c><Prefetch>-2</Prefetch></c>") << 0;
    QTest::newRow("broken file") << QByteArray("<c><Prefetch>4</Prefetch>") << 0;
}

void tst_configfile::readPrefetch()
{
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    QFile file(dir.filePath("config.xml"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
    file.close();
    QTEST(readUpdaterConfig(dir.filePath("config.xml")).prefetch, "prefetch");
}

// The proxy and bypass lists as Windows keeps them in a user's internet settings.
void tst_configfile::systemProxyLists_data()
{
    QTest::addColumn<QString>("proxies");
    QTest::addColumn<QString>("bypass");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QByteArray>("proxy");
    QTest::newRow("one for every scheme") << "proxy:3128" << "" << "https://cdn.example/f" << QByteArray("proxy:3128");
    QTest::newRow("one per scheme") << "http=p1:80;https=p2:8443" << "" << "https://cdn.example/f" << QByteArray("p2:8443");
    QTest::newRow("named scheme wins over the default") << "p0:80 https=p2:8443" << "" << "https://cdn.example/f"
                                                        << QByteArray("p2:8443");
    QTest::newRow("none for this scheme") << "http=p1:80" << "" << "https://cdn.example/f" << QByteArray();
    QTest::newRow("with a scheme in front") << "http=http://p1:80" << "" << "http://cdn.example/f" << QByteArray("p1:80");
    QTest::newRow("bypassed by wildcard") << "p:80" << "*.corp.example;10.*" << "http://files.corp.example/f" << QByteArray();
    QTest::newRow("bypassed address") << "p:80" << "*.corp.example;10.*" << "http://10.1.2.3/f" << QByteArray();
    QTest::newRow("not bypassed") << "p:80" << "*.corp.example" << "http://corp.example.evil/f" << QByteArray("p:80");
    QTest::newRow("<local>: a name without a dot") << "p:80" << "<local>" << "http://intranet/f" << QByteArray();
    QTest::newRow("<local> leaves others") << "p:80" << "<local>" << "http://cdn.example/f" << QByteArray("p:80");
    QTest::newRow("bypassed with its port") << "p:80" << "cdn.example:8080" << "http://cdn.example:8080/f" << QByteArray();
    QTest::newRow("no list") << "" << "" << "http://cdn.example/f" << QByteArray();
}

void tst_configfile::systemProxyLists()
{
    QFETCH(QString, proxies);
    QFETCH(QString, bypass);
    QFETCH(QString, url);
    QTEST(SystemProxy::fromLists(proxies, bypass, QUrl(url)), "proxy");
}

QTEST_MAIN(tst_configfile)
#include "tst_configfile.moc"
