#include "protocol/configfile.h"

#include <QDomDocument>
#include <QFile>

#include "manifest/xmldepth.h"

namespace {

QString firstText(const QDomDocument &document, const QString &name)
{
    const QDomNodeList elements = document.elementsByTagName(name);
    return elements.isEmpty() ? QString() : elements.at(0).toElement().text();
}

} // namespace

UpdaterConfig readUpdaterConfig(const QString &path)
{
    UpdaterConfig config;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly | QIODevice::Text))
        parseUpdaterConfig(file.readAll(), &config);
    return config;
}

bool parseUpdaterConfig(const QByteArray &xml, UpdaterConfig *config)
{
    QDomDocument document;
    config->problem = ConfigProblem::NotXml;
    if (!Manifest::isXmlNestedWithin(xml) || !document.setContent(xml, false) || document.isNull())
        return false;
    config->problem = ConfigProblem::None;
    config->rootName = document.documentElement().tagName();
    config->update = firstText(document, "Update");
    config->log = firstText(document, "Log");
    config->proxy = firstText(document, "Proxy");
    config->restartAlways = firstText(document, "Restart").trimmed() == QLatin1String("always");
    // More requests at once gain nothing once the link is full, and each costs a connection.
    constexpr int maxPrefetch = 16;
    bool isNumber = false;
    const int prefetch = firstText(document, "Prefetch").trimmed().toInt(&isNumber);
    config->prefetch = isNumber && prefetch > 0 ? qMin(prefetch, maxPrefetch) : 0;
    return true;
}
