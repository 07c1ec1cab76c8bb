#include "manifest/xmlnode.h"

#include <QXmlStreamReader>

XMLNode::~XMLNode() = default;

QString XMLNode::attributeName() { return {}; }
QVariant XMLNode::attribute(QString name) { Q_UNUSED(name); return {}; }
QString XMLNode::name() { return m_name; }
QVariant XMLNode::value() { return m_value; }
QString XMLNode::text() { return m_value.toString(); }
void XMLNode::setAttribute(QString name, QVariant value) { m_attributes.insert(name, value); }
void XMLNode::setName(QString name) { m_name = name; }
void XMLNode::setValue(QVariant value) { m_value = value; }
void XMLNode::write(QString &out) { Q_UNUSED(out); }
void XMLNode::read(QXmlStreamReader &reader, int &depth) { Q_UNUSED(reader); Q_UNUSED(depth); }
QString XMLNode::toXmlDocument() { return {}; }
