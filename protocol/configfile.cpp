#include "protocol/configfile.h"

#include <QDomDocument>
#include <QFile>
#include <QMessageBox>
#include <QObject>
#include <iostream>

namespace {

// More requests at once gain nothing once the link is full, and each costs a connection.
constexpr int maxPrefetch = 16;

void showFailure(const char *pattern)
{
    QMessageBox::information(nullptr, QObject::tr("Error"), QObject::tr(pattern).arg("config.xml"));
}

QString firstText(const QDomDocument &document, const QString &tagName)
{
    const QDomNodeList elements = document.elementsByTagName(tagName);
    return elements.isEmpty() ? QString() : elements.at(0).toElement().text();
}

} // namespace

ConfigFile readConfigFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        showFailure(QT_TR_NOOP("open %1 failed!"));
        return {};
    }
    QDomDocument document;
    QString errorMessage;
    int errorLine = 0;
    int errorColumn = 0;
    if (!document.setContent(&file, false, &errorMessage, &errorLine, &errorColumn) || document.isNull()) {
        showFailure(QT_TR_NOOP("open %1 as xml failed!"));
        return {};
    }
    std::cout << document.documentElement().tagName().toLocal8Bit().constData() << std::endl;

    ConfigFile config;
    config.updateUrl = firstText(document, "Update");
    bool isNumber = false;
    const int prefetch = firstText(document, "Prefetch").trimmed().toInt(&isNumber);
    // Anything but a positive number keeps the one-at-a-time default.
    if (isNumber && prefetch > 0)
        config.prefetch = qMin(prefetch, maxPrefetch);
    return config;
}
