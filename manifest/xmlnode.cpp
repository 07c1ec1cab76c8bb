#include "manifest/xmlnode.h"

#include <QXmlStreamReader>

#include "manifest/xmldepth.h"

namespace {

// Reserved characters become entity references so that everything written reads back;
// text without them is appended unchanged.
void appendEscaped(QString &out, const QString &text)
{
    int start = 0;
    for (int i = 0; i < text.size(); ++i) {
        const char *entity = nullptr;
        switch (text.at(i).unicode()) {
        case '&': entity = "&amp;"; break;
        case '<': entity = "&lt;"; break;
        case '>': entity = "&gt;"; break;
        case '"': entity = "&quot;"; break;
        default: continue;
        }
        out.append(QStringView(text).mid(start, i - start));
        out.append(QLatin1String(entity));
        start = i + 1;
    }
    out.append(QStringView(text).mid(start));
}

} // namespace

XMLNode::~XMLNode()
{
    // Children go one at a time from the front, each released before the next is taken.
    while (!m_children.isEmpty())
        m_children.removeFirst();
}

QString XMLNode::attributeName()
{
    return m_attributes.isEmpty() ? QString() : m_attributes.firstKey();
}

QVariant XMLNode::attribute(QString name)
{
    const auto it = m_attributes.constFind(name);
    if (it == m_attributes.constEnd())
        return QVariant();
    return QVariant(it.value().toString());
}

QString XMLNode::name() { return m_name; }
QVariant XMLNode::value() { return m_value; }
QString XMLNode::text() { return m_value.toString(); }
void XMLNode::setAttribute(QString name, QVariant value) { m_attributes.insert(name, value); }
void XMLNode::setName(QString name) { m_name = name; }
void XMLNode::setValue(QVariant value) { m_value = value; }

void XMLNode::write(QString &out)
{
    const QString tag = name();
    out += QLatin1String("\n<");
    out += tag;
    // Only the first attribute in name order is written.
    const QString firstAttribute = attributeName();
    if (!firstAttribute.isEmpty()) {
        out += QLatin1Char(' ');
        out += firstAttribute;
        out += QLatin1String("=\"");
        appendEscaped(out, attribute(firstAttribute).toString());
        out += QLatin1Char('"');
    }
    out += QLatin1Char('>');
    appendEscaped(out, text());
    for (const std::shared_ptr<XMLNode> &child : qAsConst(m_children))
        child->write(out);
    out += QLatin1String("</");
    out += tag;
    out += QLatin1String(">\n");
}

void XMLNode::read(QXmlStreamReader &reader, int &depth)
{
    // depth is shared by the whole recursion: -1 before this node's element, 0 inside it,
    // 1 inside a child, and so on. The reader's atEnd() also ends the loop on an error.
    while (!reader.atEnd()) {
        switch (reader.tokenType()) {
        case QXmlStreamReader::StartElement:
            ++depth;
            if (depth >= maxXmlDepth) {
                // Each level is one more call: stop here as at malformed input.
                reader.raiseError(QStringLiteral("Elements nested deeper than %1 levels").arg(maxXmlDepth));
                return;
            }
            if (depth == 0) {
                m_attributes.clear();
                takeStartTag(reader);
                reader.readNext();
            } else {
                auto child = std::make_shared<XMLNode>();
                child->takeStartTag(reader);
                reader.readNext();
                child->read(reader, depth);
                m_children.append(child);
            }
            continue;
        case QXmlStreamReader::Characters:
            m_value = reader.text().trimmed().toString();
            break;
        case QXmlStreamReader::EndElement:
            if (depth > 0) {
                --depth;
                reader.readNext();
                return;
            }
            if (depth == 0)
                depth = -1;
            break;
        default:
            break;
        }
        reader.readNext();
    }
}

void XMLNode::takeStartTag(const QXmlStreamReader &reader)
{
    const QXmlStreamAttributes attributes = reader.attributes();
    for (const QXmlStreamAttribute &attribute : attributes)
        m_attributes.insert(attribute.name().trimmed().toString(), attribute.value().trimmed().toString());
    m_name = reader.name().trimmed().toString();
}

QString XMLNode::toXmlDocument()
{
    QString out = QStringLiteral("<?xml version = \"1.0\"?>\n");
    write(out);
    return out;
}
