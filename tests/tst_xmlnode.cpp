#include <QtTest>

#include <QXmlStreamReader>

#include "manifest/xmlnode.h"

namespace {

// A compact picture of a tree for comparisons: name{attributes}"value"[children], with ~ for
// an invalid value.
QString describe(XMLNode &node)
{
    QString text = node.name();
    QStringList attributes;
    for (const QString &name : {QString("a"), QString("b"), QString("k")}) {
        if (node.attribute(name).isValid())
            attributes << name + '=' + node.attribute(name).toString();
    }
    if (!attributes.isEmpty())
        text += '{' + attributes.join(',') + '}';
    text += node.value().isValid() ? '"' + node.text() + '"' : QString("~");
    QStringList children;
    for (const auto &child : qAsConst(node.m_children))
        children << describe(*child);
    if (!children.isEmpty())
        text += '[' + children.join(',') + ']';
    return text;
}

std::shared_ptr<XMLNode> makeNode(const QString &name, const QVariant &value = {})
{
    auto node = std::make_shared<XMLNode>();
    node->setName(name);
    node->setValue(value);
    return node;
}

QString nestedXml(int levels)
{
    return QString("<e>").repeated(levels) + QString("</e>").repeated(levels);
}

QString nestedTree(int levels)
{
    return QString("e~[").repeated(levels - 1) + "e~" + QString("]").repeated(levels - 1);
}

} // namespace

class tst_xmlnode : public QObject
{
    Q_OBJECT

private slots:
    void workedExample();
    void write_data();
    void write();
    void writeReadRoundTrip();
    void read_data();
    void read();
    void readIntoNodeWithChildren();
};

void tst_xmlnode::workedExample()
{
    XMLNode a;
    a.setName("A");
    a.m_children.append(makeNode("B", 1));
    auto c = makeNode("C", "x");
    c->setAttribute("k", "v");
    a.m_children.append(c);

    QCOMPARE(a.toXmlDocument(), QString("<?xml version = \"1.0\"?>\n\n<A>\n<B>1</B>\n\n<C k=\"v\">x</C>\n</A>\n"));
    QCOMPARE(a.toXmlDocument(), a.toXmlDocument()); // writing leaves the tree as it was
}

void tst_xmlnode::write_data()
{
    QTest::addColumn<QVariantMap>("attributes");
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QStringList>("children");
    QTest::addColumn<QString>("expected");

    QTest::newRow("empty element keeps both tags") << QVariantMap() << QVariant() << QStringList()
                                                   << "\n<N></N>\n";
    QTest::newRow("only the first attribute by name")
        << QVariantMap{{"b", 1}, {"a", 2}} << QVariant() << QStringList() << "\n<N a=\"2\"></N>\n";
    QTest::newRow("attribute order is case-sensitive")
        << QVariantMap{{"a", 1}, {"Z", 2}} << QVariant() << QStringList() << "\n<N Z=\"2\"></N>\n";
    QTest::newRow("empty attribute value") << QVariantMap{{"version", ""}} << QVariant() << QStringList()
                                           << "\n<N version=\"\"></N>\n";
    QTest::newRow("integer value") << QVariantMap() << QVariant(12) << QStringList() << "\n<N>12</N>\n";
    QTest::newRow("text before children")
        << QVariantMap() << QVariant("t") << QStringList{"X", "Y"} << "\n<N>t\n<X></X>\n\n<Y></Y>\n</N>\n";
    QTest::newRow("reserved characters in text")
        << QVariantMap() << QVariant("a&b<c>d\"e'f") << QStringList()
        << "\n<N>a&amp;b&lt;c&gt;d&quot;e'f</N>\n";
    QTest::newRow("reserved characters in attribute")
        << QVariantMap{{"k", "\"&<>'"}} << QVariant() << QStringList()
        << "\n<N k=\"&quot;&amp;&lt;&gt;'\"></N>\n";
    QTest::newRow("non-ASCII and blanks unchanged")
        << QVariantMap{{"k", " ü "}} << QVariant(" Größe 日本 ") << QStringList()
        << "\n<N k=\" ü \"> Größe 日本 </N>\n";
}

void tst_xmlnode::write()
{
    QFETCH(QVariantMap, attributes);
    QFETCH(QVariant, value);
    QFETCH(QStringList, children);
    QFETCH(QString, expected);

    XMLNode node;
    node.setName("N");
    for (auto it = attributes.cbegin(); it != attributes.cend(); ++it)
        node.setAttribute(it.key(), it.value());
    node.setValue(value);
    for (const QString &child : children)
        node.m_children.append(makeNode(child));

    QString out = "kept";
    node.write(out);
    QCOMPARE(out, "kept" + expected);
}

void tst_xmlnode::writeReadRoundTrip()
{
    const QString awkward = "&amp; <a> \"q\" 'p' ]]> Größe 日本";
    XMLNode top;
    top.setName("T");
    auto child = makeNode("C", awkward);
    child->setAttribute("k", awkward);
    top.m_children.append(child);

    const QString document = top.toXmlDocument();
    QXmlStreamReader reader(document);
    XMLNode back;
    int depth = -1;
    back.read(reader, depth);

    QVERIFY2(!reader.hasError(), qPrintable(reader.errorString()));
    QCOMPARE(describe(back), describe(top).replace("T~", "T\"\"")); // the read gives the blanks' empty value
    QCOMPARE(back.m_children.at(0)->text(), awkward);
}

void tst_xmlnode::read_data()
{
    QTest::addColumn<QString>("xml");
    QTest::addColumn<QString>("tree");
    QTest::addColumn<bool>("wellFormed");

    QTest::newRow("trimmed attribute, blanks after the last child")
        << "<r a=\" 1 \"><c>x</c>  </r>" << "r{a=1}\"\"[c\"x\"]" << true;
    QTest::newRow("empty-element tag keeps an invalid value") << "<e/>" << "e~" << true;
    QTest::newRow("start and end tag keep an invalid value") << "<e></e>" << "e~" << true;
    QTest::newRow("text is trimmed") << "<e>\n  a b \t</e>" << "e\"a b\"" << true;
    QTest::newRow("last character run wins") << "<e>first<c/>last</e>" << "e\"last\"[c~]" << true;
    QTest::newRow("CDATA is text") << "<e><![CDATA[ <x> ]]></e>" << "e\"<x>\"" << true;
    QTest::newRow("entities resolved") << "<e k=\"&quot;&amp;\">&lt;&#233;</e>" << "e{k=\"&}\"<é\"" << true;
    QTest::newRow("nested depths")
        << "<a><b><c>1</c><c>2</c></b><d k=\"v\">3</d></a>" << "a~[b~[c\"1\",c\"2\"],d{k=v}\"3\"]" << true;
    QTest::newRow("declaration, comments and instructions ignored")
        << "<?xml version=\"1.0\"?><!-- c --><r><?pi x?><!-- c --><a/></r><!-- c -->" << "r~[a~]" << true;
    QTest::newRow("namespace prefixes dropped")
        << "<p:r xmlns:p=\"urn:x\" p:k=\"v\"><p:c/></p:r>" << "r{k=v}~[c~]" << true;
    QTest::newRow("stops at a mismatched end tag")
        << "<r><a>1</a><b>2</c><d/></r>" << "r~[a\"1\",b\"2\"]" << false;
    QTest::newRow("stops at an unescaped ampersand")
        << "<r><a>1</a><b>x & y</b></r>" << "r~[a\"1\",b~]" << false;
    QTest::newRow("stops at a truncated document") << "<r><a>1</a><b" << "r~[a\"1\"]" << false;
    QTest::newRow("nothing read from an empty text") << "" << "~" << false;
    QTest::newRow("256 levels") << nestedXml(256) << nestedTree(256) << true;
    // Each level is a call: deeper input stops like malformed input, before the stack runs out.
    QTest::newRow("257 levels stop at 256") << nestedXml(257) << nestedTree(256) << false;
    QTest::newRow("50000 levels stop at 256") << nestedXml(50000) << nestedTree(256) << false;
}

void tst_xmlnode::read()
{
    QFETCH(QString, xml);
    QFETCH(QString, tree);
    QFETCH(bool, wellFormed);

    QXmlStreamReader reader(xml);
    XMLNode node;
    int depth = -1;
    node.read(reader, depth);

    QVERIFY(reader.atEnd());
    QCOMPARE(reader.hasError(), !wellFormed);
    QCOMPARE(describe(node), tree);
    if (wellFormed)
        QCOMPARE(depth, -1);
}

void tst_xmlnode::readIntoNodeWithChildren()
{
    XMLNode node;
    node.setName("old");
    node.setAttribute("a", "gone");
    node.setValue("kept");
    node.m_children.append(makeNode("c", 1));

    QXmlStreamReader reader(QString("<new b=\"2\"><d/></new>"));
    int depth = -1;
    node.read(reader, depth);

    QCOMPARE(describe(node), QString("new{b=2}\"kept\"[c\"1\",d~]"));
}

QTEST_GUILESS_MAIN(tst_xmlnode)
#include "tst_xmlnode.moc"
