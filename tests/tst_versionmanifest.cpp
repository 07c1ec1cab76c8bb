#include <QtTest>

#include <QTemporaryDir>

#include "manifest/versionmanifest.h"
#include "tests/support/testfiles.h"

Q_DECLARE_METATYPE(VersionManifest)

namespace {

VersionManifest makeManifest(const QList<QPair<QString, QString>> &pathsAndVersions)
{
    VersionManifest manifest;
    for (const auto &entry : pathsAndVersions)
        manifest.insert(entry.first, VersionEntry(entry.second, entry.first));
    return manifest;
}

// key|path|version|major.minor.patch per entry, in key order.
QStringList describe(const VersionManifest &manifest)
{
    QStringList lines;
    for (auto it = manifest.cbegin(); it != manifest.cend(); ++it) {
        lines << QString("%1|%2|%3|%4.%5.%6")
                     .arg(it.key(), it->path, it->version)
                     .arg(it->major)
                     .arg(it->minor)
                     .arg(it->patch);
    }
    return lines;
}

} // namespace

class tst_versionmanifest : public QObject
{
    Q_OBJECT

private slots:
    void setVersion_data();
    void setVersion();
    void isAllDigits_data();
    void isAllDigits();
    void writtenBytes_data();
    void writtenBytes();
    void read_data();
    void read();
    void roundTrip_data();
    void roundTrip();
    void independentParserAccepts();
    void writeReplacesAndConvertsLineEnds();
    void unwritablePathIsSilent();

private:
    QTemporaryDir dir;
};

void tst_versionmanifest::setVersion_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("minor");
    QTest::addColumn<int>("patch");

    QTest::newRow("plain") << "1.2.3" << 1 << 2 << 3;
    QTest::newRow("leading zeros") << "01.002.3" << 1 << 2 << 3;
    QTest::newRow("leading dot") << ".1.2.3" << 1 << 2 << 3;
    QTest::newRow("double dot") << "1..2.3" << 1 << 2 << 3;
    QTest::newRow("trailing dot") << "1.2.3." << 1 << 2 << 3;
    QTest::newRow("largest int") << "2147483647.0.1" << 2147483647 << 0 << 1;
    QTest::newRow("beyond int") << "1.2.4294967296" << 1 << 2 << 0;
    QTest::newRow("two pieces") << "1.2" << 0 << 0 << 0;
    QTest::newRow("four pieces") << "1.2.3.4" << 0 << 0 << 0;
    QTest::newRow("letter piece") << "1.2.x" << 0 << 0 << 0;
    QTest::newRow("letter suffix") << "1.2.3b" << 0 << 0 << 0;
    QTest::newRow("blank") << "1. 2.3" << 0 << 0 << 0;
    QTest::newRow("sign") << "1.-2.3" << 0 << 0 << 0;
    QTest::newRow("plus sign") << "+1.2.3" << 0 << 0 << 0;
    QTest::newRow("non-ASCII digit") << QString::fromUtf8("1.\u0662.3") << 0 << 0 << 0;
    QTest::newRow("empty") << "" << 0 << 0 << 0;
}

void tst_versionmanifest::setVersion()
{
    QFETCH(QString, text);
    QFETCH(int, major);
    QFETCH(int, minor);
    QFETCH(int, patch);

    const VersionEntry entry(text, "a.dll");
    QCOMPARE(entry.version, text);
    QCOMPARE(entry.path, QString("a.dll"));
    QCOMPARE(QList<int>({entry.major, entry.minor, entry.patch}), QList<int>({major, minor, patch}));
}

void tst_versionmanifest::isAllDigits_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("digits");

    QTest::newRow("null") << QString() << false;
    QTest::newRow("empty") << QString("") << false;
    QTest::newRow("digits") << "0123456789" << true;
    QTest::newRow("blank") << " 1" << false;
    QTest::newRow("sign") << "-1" << false;
    QTest::newRow("letter") << "1a" << false;
    QTest::newRow("Latin-1 letter") << QString::fromUtf8("1\u00e9") << false;
    QTest::newRow("fullwidth digit") << QString::fromUtf8("\uff11") << false;
}

void tst_versionmanifest::isAllDigits()
{
    QFETCH(QString, text);
    QFETCH(bool, digits);
    QCOMPARE(Manifest::isAllDigits(text), digits);
}

void tst_versionmanifest::writtenBytes_data()
{
    QTest::addColumn<VersionManifest>("manifest");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("three entries in code-unit order")
        << makeManifest({{"Trelvox.exe", "2.1.0"}, {"bin/B.dll", ""}, {"bin/a.dll", "1.0.3"}})
        << QByteArray("<?xml version = \"1.0\"?>\r\n"
                      "\r\n"
                      "<Trelvox>\r\n"
                      "<COUNT>3</COUNT>\r\n"
                      "\r\n"
                      "<FILES>\r\n"
                      "<FILE version=\"2.1.0\">Trelvox.exe</FILE>\r\n"
                      "\r\n"
                      "<FILE version=\"\">bin/B.dll</FILE>\r\n"
                      "\r\n"
                      "<FILE version=\"1.0.3\">bin/a.dll</FILE>\r\n"
                      "</FILES>\r\n"
                      "</Trelvox>\r\n"
                      "\r\n");
    QTest::newRow("empty") << VersionManifest()
                           << QByteArray("<?xml version = \"1.0\"?>\r\n\r\n<Trelvox>\r\n<COUNT>0</COUNT>\r\n\r\n"
                                         "<FILES></FILES>\r\n</Trelvox>\r\n\r\n");
    QTest::newRow("UTF-8 without byte-order mark")
        << makeManifest({{QString::fromUtf8("daten/Größe.dat"), "1.0.0"}})
        << QByteArray("<?xml version = \"1.0\"?>\r\n\r\n<Trelvox>\r\n<COUNT>1</COUNT>\r\n\r\n<FILES>\r\n"
                      "<FILE version=\"1.0.0\">daten/Gr\xc3\xb6\xc3\x9f" "e.dat</FILE>\r\n</FILES>\r\n</Trelvox>\r\n\r\n");
}

void tst_versionmanifest::writtenBytes()
{
    QFETCH(VersionManifest, manifest);
    QFETCH(QByteArray, bytes);

    const QString path = dir.filePath("version.xml");
    Manifest::writeTextFile(Manifest::versionManifestToXml(manifest), path);
    QCOMPARE(readFile(path), bytes);
}

void tst_versionmanifest::read_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("entries");

    QTest::newRow("FILE elements outside FILES")
        << QByteArray("<Trelvox><FILE version=\"1.0.0\">a</FILE><X><Y><FILE version=\"2.0.0\">b</FILE></Y></X>"
                      "</Trelvox>")
        << QStringList{"a|a|1.0.0|1.0.0", "b|b|2.0.0|2.0.0"};
    QTest::newRow("another root name")
        << QByteArray("<Other><FILES><FILE version=\"1.2.3\">a</FILE></FILES></Other>")
        << QStringList{"a|a|1.2.3|1.2.3"};
    QTest::newRow("duplicate texts: the later one counts")
        << QByteArray("<T><FILE version=\"1.0.0\">a</FILE><FILE version=\"2.0.0\">a</FILE></T>")
        << QStringList{"a|a|2.0.0|2.0.0"};
    QTest::newRow("blanks kept in keys")
        << QByteArray("<T><FILE version=\" 1.0.0 \">  a b \n</FILE></T>")
        << QStringList{"  a b \n|  a b \n| 1.0.0 |0.0.0"};
    QTest::newRow("COUNT ignored")
        << QByteArray("<T><COUNT>7</COUNT><FILES><FILE version=\"1.0.0\">a</FILE></FILES></T>")
        << QStringList{"a|a|1.0.0|1.0.0"};
    QTest::newRow("missing version attribute") << QByteArray("<T><FILE>a</FILE></T>") << QStringList{"a|a||0.0.0"};
    QTest::newRow("text, CDATA and nested text joined")
        << QByteArray("<T><FILE version=\"1\">a<![CDATA[&b]]><i>c</i>&lt;</FILE></T>")
        << QStringList{"a&bc<|a&bc<|1|0.0.0"};
    QTest::newRow("comments, instructions and other attributes ignored")
        << QByteArray("<?xml version=\"1.0\"?>\r\n<!-- x --><T><?pi y?><FILE size=\"9\" version=\"1.0.0\">a</FILE></T>")
        << QStringList{"a|a|1.0.0|1.0.0"};
    QTest::newRow("no encoding declared reads UTF-8")
        << QByteArray("<T><FILE version=\"1.0.0\">\xc3\xa4.dll</FILE></T>")
        << QStringList{QString::fromUtf8("\u00e4.dll|\u00e4.dll|1.0.0|1.0.0")};
    QTest::newRow("malformed: unclosed root") << QByteArray("<T><FILE version=\"1.0.0\">a</FILE>") << QStringList();
    QTest::newRow("malformed: bare ampersand")
        << QByteArray("<T><FILE version=\"1.0.0\">a</FILE><FILE version=\"1.0.0\">b&c</FILE></T>") << QStringList();
    QTest::newRow("malformed: two roots")
        << QByteArray("<T><FILE>a</FILE></T><T><FILE>b</FILE></T>") << QStringList();
    QTest::newRow("empty file") << QByteArray("") << QStringList();
    const auto nested = [](int levels) {
        return "<T>" + QByteArray("<x>").repeated(levels - 2) + "<FILE version=\"1.0.0\">a</FILE>"
            + QByteArray("</x>").repeated(levels - 2) + "</T>";
    };
    QTest::newRow("256 levels") << nested(256) << QStringList{"a|a|1.0.0|1.0.0"};
    QTest::newRow("257 levels read as broken") << nested(257) << QStringList();
    // Would overflow the stack of the DOM parser.
    QTest::newRow("50000 levels read as broken") << nested(50000) << QStringList();
    QTest::newRow("missing file") << QByteArray() << QStringList(); // null content: no file at all
}

void tst_versionmanifest::read()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, entries);

    const QString path = dir.filePath("read.xml");
    QFile::remove(path);
    if (!content.isNull())
        QVERIFY(writeFile(path, content));
    QCOMPARE(describe(Manifest::readVersionManifest(path)), entries);
}

void tst_versionmanifest::roundTrip_data()
{
    QTest::addColumn<VersionManifest>("manifest");

    QTest::newRow("empty") << VersionManifest();
    QTest::newRow("reserved characters")
        << makeManifest({{"a&b.dll", "1&2"}, {"<x>/y.dll", "<1.2.3>"}, {"\"q\".dll", "\"1.2.3\""},
                         {"it's.dll", "1.2.3'"}, {"&amp;.dll", "&lt;"}, {"]]>.dll", "]]>"}});
    QTest::newRow("non-ASCII")
        << makeManifest({{QString::fromUtf8("daten/Größe.dat"), "1.0.0"},
                         {QString::fromUtf8("数据/文件.dll"), QString::fromUtf8("2.0.\u00e9")},
                         {QString::fromUtf8("emoji/\U0001F600.png"), "3.4.5"}});
    QTest::newRow("blanks and empty versions") << makeManifest({{" a b ", ""}, {"c", " "}});
}

void tst_versionmanifest::roundTrip()
{
    QFETCH(VersionManifest, manifest);

    const QString path = dir.filePath("roundtrip.xml");
    Manifest::writeTextFile(Manifest::versionManifestToXml(manifest), path);
    QCOMPARE(describe(Manifest::readVersionManifest(path)), describe(manifest));
}

void tst_versionmanifest::independentParserAccepts()
{
    const QStringList paths = {"a&b<c>.dll", "\"quoted\" 'single'", QString::fromUtf8("Größe/数据.dll")};
    VersionManifest manifest;
    for (const QString &path : paths)
        manifest.insert(path, VersionEntry(path, path));
    const QString file = dir.filePath("xmllint.xml");
    Manifest::writeTextFile(Manifest::versionManifestToXml(manifest), file);

    QProcess lint;
    lint.start("xmllint", {"--noout", file});
    QVERIFY2(lint.waitForFinished(), "xmllint (libxml2-utils) is needed");
    QCOMPARE(lint.readAllStandardError(), QByteArray());
    QCOMPARE(lint.exitCode(), 0);

    // Its reading of the escaped texts is ours.
    for (int i = 0; i < paths.size(); ++i) {
        const QString xpath = QString("string(//FILE[%1])").arg(i + 1);
        lint.start("xmllint", {"--xpath", xpath, file});
        QVERIFY(lint.waitForFinished());
        QCOMPARE(QString::fromUtf8(lint.readAllStandardOutput()), manifest.keys().at(i) + '\n');
        lint.start("xmllint", {"--xpath", QString("string(//FILE[%1]/@version)").arg(i + 1), file});
        QVERIFY(lint.waitForFinished());
        QCOMPARE(QString::fromUtf8(lint.readAllStandardOutput()), manifest.keys().at(i) + '\n');
    }
}

void tst_versionmanifest::writeReplacesAndConvertsLineEnds()
{
    const QString path = dir.filePath("text.txt");
    QVERIFY(writeFile(path, QByteArray(4096, 'x')));
    Manifest::writeTextFile("a\nb\n", path);
    QCOMPARE(readFile(path), QByteArray("a\r\nb\r\n\r\n"));
}

void tst_versionmanifest::unwritablePathIsSilent()
{
    const QString path = dir.filePath("missing/version.xml");
    Manifest::writeTextFile("a", path);
    QVERIFY(!QFileInfo::exists(path));
    QVERIFY(!QFileInfo::exists(dir.filePath("missing")));
}

QTEST_MAIN(tst_versionmanifest)
#include "tst_versionmanifest.moc"
