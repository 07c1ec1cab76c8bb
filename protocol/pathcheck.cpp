#include "protocol/pathcheck.h"

#include <QDir>

QString pathBelow(const QString &path, const QString &folder)
{
    QString root = QDir::cleanPath(folder);
    if (!root.endsWith('/')) // a root folder keeps its slash
        root += '/';
    const QString cleaned = QDir::cleanPath(path);
    return cleaned.startsWith(root) ? cleaned.mid(root.size()) : QString();
}
