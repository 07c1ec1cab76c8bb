#include "download/windowspath.h"

#include <QDir>
#include <QStringList>

namespace {

const QString longPrefix = QStringLiteral("\\\\?\\");

// The root ("\\?\C:" or "\\?\UNC\server\share") and the rest of an absolute path in backslashes;
// an empty root when the path is not absolute in itself.
QString splitRoot(const QString &path, QString *rest)
{
    if (path.startsWith(QLatin1String("\\\\"))) {
        const QStringList parts = path.mid(2).split('\\');
        if (parts.size() < 2 || parts.at(0).isEmpty() || parts.at(1).isEmpty())
            return QString();
        *rest = parts.mid(2).join('\\');
        return longPrefix + "UNC\\" + parts.at(0) + '\\' + parts.at(1);
    }
    if (path.size() >= 3 && path.at(0).isLetter() && path.at(1) == ':' && path.at(2) == '\\') {
        *rest = path.mid(3);
        return longPrefix + path.left(2);
    }
    return QString();
}

} // namespace

namespace WindowsPath {

QString longForm(const QString &path, const QString &currentDir)
{
    if (path.isEmpty())
        return QString();
    QString given = path;
    given.replace('/', '\\');
    if (given.startsWith(longPrefix) || given.startsWith(QLatin1String("\\\\.\\")))
        return path;
    QString base = currentDir;
    base.replace('/', '\\');
    QString baseRest;
    const QString baseRoot = splitRoot(base, &baseRest);

    QString rest;
    QString root = splitRoot(given, &rest);
    if (root.isEmpty() && given.startsWith(QLatin1String("\\\\")))
        return QString(); // a share without its name
    if (root.isEmpty()) {
        if (baseRoot.isEmpty())
            return QString();
        const bool driveRelative = given.size() >= 2 && given.at(0).isLetter() && given.at(1) == ':';
        if (driveRelative && baseRoot.compare(longPrefix + given.left(2), Qt::CaseInsensitive) != 0) {
            // Another drive's current folder is not known here: its root stands in, as on a new process.
            root = longPrefix + given.left(2);
            rest = given.mid(2);
        } else if (driveRelative) {
            root = baseRoot;
            rest = baseRest + '\\' + given.mid(2);
        } else if (given.startsWith('\\')) {
            root = baseRoot; // rooted on the current drive or share
            rest = given;
        } else {
            root = baseRoot;
            rest = baseRest + '\\' + given;
        }
    }
    QStringList segments;
    for (const QString &segment : rest.split('\\', Qt::SkipEmptyParts)) {
        if (segment == QLatin1String("..")) {
            if (!segments.isEmpty()) // at the root it stays there, as Windows does
                segments.removeLast();
        } else if (segment != QLatin1String(".")) {
            segments.append(segment);
        }
    }
    return root + '\\' + segments.join('\\');
}

std::wstring native(const QString &path)
{
    return longForm(path, QDir::currentPath()).toStdWString();
}

} // namespace WindowsPath
