#include "app/installation.h"

#include <QDir>
#include <QRegularExpression>

#include "app/updaterenvironment.h"

QString updaterDirectory()
{
    return UpdaterEnvironment::current().updaterDir();
}

QString installationDirectory()
{
    return updaterDirectory() + "/../";
}

bool isSafeRelativePath(const QString &path)
{
    if (path.isEmpty() || path.startsWith('/') || path.startsWith('\\') || QDir::isAbsolutePath(path))
        return false;
    // Checked on every platform: a release is made once and installed on Windows.
    if (path.size() >= 2 && path.at(1) == ':' && path.at(0).isLetter())
        return false;
    // Windows drops trailing dots and blanks of a name, so ".. " and "..." climb as ".." does.
    static const QRegularExpression separators("[/\\\\]");
    static const QRegularExpression parent("^[. ]*\\.\\.[. ]*$");
    for (const QString &segment : path.split(separators)) {
        if (parent.match(segment).hasMatch())
            return false;
    }
    return true;
}
