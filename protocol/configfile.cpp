#include "protocol/configfile.h"

#include <QDomDocument>
#include <QFile>
#include <iostream>

#include "manifest/xmldepth.h"

namespace {
bool parse(const QByteArray &xml, QDomDocument *document)
{
    QString errorMessage;
    int errorLine = 0;
    int errorColumn = 0;
    return Manifest::isXmlNestedWithin(xml) && document->setContent(xml, false, &errorMessage, &errorLine, &errorColumn)
        && !document->isNull();
}

QString firstText(const QDomDocument &document, const QString &name)
{
    const QDomNodeList elements = document.elementsByTagName(name);
    return elements.isEmpty() ? QString() : elements.at(0).toElement().text();
}
}

QString readUpdateConfig(const QString &path, ConfigProblem *problem)
{
    QFile file(path);
    *problem = ConfigProblem::CannotOpen;
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QString rootName;
    QString url;
    *problem = ConfigProblem::NotXml;
    if (!parseUpdateConfig(file.readAll(), &rootName, &url))
        return {};
    *problem = ConfigProblem::None;
    std::cout << rootName.toLocal8Bit().constData() << std::endl;
    return url;
}

bool parseUpdateConfig(const QByteArray &xml, QString *rootName, QString *updateUrl)
{
    QDomDocument document;
    if (!parse(xml, &document))
        return false;
    *rootName = document.documentElement().tagName();
    *updateUrl = firstText(document, "Update");
    return true;
}

QString readConfigElement(const QString &path, const QString &name)
{
    QFile file(path);
    QDomDocument document;
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text) || !parse(file.readAll(), &document))
        return QString();
    return firstText(document, name);
}

int readPrefetch(const QString &path)
{
    // More requests at once gain nothing once the link is full, and each costs a connection.
    constexpr int maxPrefetch = 16;
    bool isNumber = false;
    const int prefetch = readConfigElement(path, "Prefetch").trimmed().toInt(&isNumber);
    return isNumber && prefetch > 0 ? qMin(prefetch, maxPrefetch) : 0;
}
