#include "protocol/configfile.h"

#include <QDomDocument>
#include <QFile>
#include <QMessageBox>
#include <QObject>
#include <iostream>

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
    QDomDocument document;
    QString errorMessage;
    int errorLine = 0;
    int errorColumn = 0;
    if (!document.setContent(&file, false, &errorMessage, &errorLine, &errorColumn) || document.isNull()) {
        showFailure(QT_TR_NOOP("open %1 as xml failed!"));
        return {};
    }
    std::cout << document.documentElement().tagName().toLocal8Bit().constData() << std::endl;

    const QDomNodeList updates = document.elementsByTagName("Update");
    if (updates.isEmpty())
        return {};
    return updates.at(0).toElement().text();
}
