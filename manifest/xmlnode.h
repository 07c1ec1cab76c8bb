#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QVariant>
#include <memory>

class QXmlStreamReader;

// A small XML element tree that writes itself in the manifest's compact layout.
class XMLNode
{
public:
    XMLNode() = default;
    virtual ~XMLNode();

    virtual QString attributeName();
    virtual QVariant attribute(QString name);
    virtual QString name();
    virtual QVariant value();
    virtual QString text();
    virtual void setAttribute(QString name, QVariant value);
    virtual void setName(QString name);
    virtual void setValue(QVariant value);
    virtual void write(QString &out);
    virtual void read(QXmlStreamReader &reader, int &depth);

    QString toXmlDocument();

private:
    // Adds the attributes of the reader's current start tag and takes its name.
    void takeStartTag(const QXmlStreamReader &reader);

    QMap<QString, QVariant> m_attributes;
    QString m_name;
    QVariant m_value;

public:
    QList<std::shared_ptr<XMLNode>> m_children;
};
