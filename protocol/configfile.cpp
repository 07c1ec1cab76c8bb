#include "protocol/configfile.h"

#include <QDomDocument>
#include <QFile>
#include <QMessageBox>
#include <QObject>
#include <iostream>

#include "manifest/xmldepth.h"

namespace {
void showFailure(const char *pattern)
{
    QMessageBox::information(nullptr, QObject::tr("Error"), QObject::tr(pattern).arg("config.xml"));
}
}

QString readUpdateUrl(QString path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        showFailure(QT_TR_NOOP("open %1 failed!"));
        return {};
    }
    QString rootName;
    QString url;
    if (!parseUpdateConfig(file.readAll(), &rootName, &url)) {
        showFailure(QT_TR_NOOP("open %1 as xml failed!"));
        return {};
    }
    std::cout << rootName.toLocal8Bit().constData() << std::endl;
    return url;
}

bool parseUpdateConfig(const QByteArray &xml, QString *rootName, QString *updateUrl)
{
    QDomDocument document;
    QString errorMessage;
    int errorLine = 0;
    int errorColumn = 0;
    if (!isXmlNestedWithin(xml) || !document.setContent(xml, false, &errorMessage, &errorLine, &errorColumn)
        || document.isNull())
        return false;
    *rootName = document.documentElement().tagName();
    const QDomNodeList updates = document.elementsByTagName("Update");
    *updateUrl = updates.isEmpty() ? QString() : updates.at(0).toElement().text();
    return true;
}
