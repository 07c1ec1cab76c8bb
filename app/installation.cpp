#include "app/installation.h"

#include <QCoreApplication>

namespace {
QString &testUpdaterDirectory()
{
    static QString dir;
    return dir;
}
}

QString updaterDirectory()
{
    const QString &overridden = testUpdaterDirectory();
    return overridden.isEmpty() ? QCoreApplication::applicationDirPath() : overridden;
}

QString installationDirectory()
{
    return updaterDirectory() + "/../";
}

void setUpdaterDirectoryForTesting(const QString &dir)
{
    testUpdaterDirectory() = dir;
}
