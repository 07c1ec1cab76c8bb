#include "app/updatelog.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

void UpdateLog::open(const QString &path)
{
    file.close();
    if (path.isEmpty())
        return;
    QDir().mkpath(QFileInfo(path).absolutePath());
    file.setFileName(path);
    file.open(QIODevice::Append | QIODevice::Text);
}

void UpdateLog::write(const QString &text)
{
    if (!file.isOpen())
        return;
    // Each line on its own: a run that is killed keeps every line before it. A file name from the
    // service may hold any control character; a CR or NUL would forge or cut lines for the reader.
    QString line = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs) + ' ' + text;
    for (QChar &character : line) {
        if (character.unicode() < 0x20)
            character = ' ';
    }
    file.write((line + '\n').toUtf8());
    file.flush();
}
