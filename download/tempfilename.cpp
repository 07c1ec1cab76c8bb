#include "download/tempfilename.h"

#include <QDir>
#include <QFileInfo>

QString freeTempFileName(const QString &installDir, const QDateTime &now)
{
    // A linked folder could put the download anywhere, and the cleanup would not reach it.
    const QFileInfo folder(installDir + "tmps");
    if (folder.isSymLink() || folder.isJunction())
        return QString();
    if (!folder.isDir()) {
        QDir::setCurrent(installDir);
        if (!QDir().mkpath(installDir + "tmps"))
            return QString();
    }

    const QString stamp = now.toString(QStringLiteral("yyyy-MM-dd-hh-mm-ss-zzz"));
    for (int retry = 0; retry < 1000; ++retry) {
        const QString name = retry == 0
            ? QStringLiteral("/tmps/%1.tmp").arg(stamp)
            : QStringLiteral("/tmps/%1_%2.tmp").arg(stamp, QString::number(retry));
        if (!QFileInfo::exists(installDir + name))
            return installDir + name;
    }
    return QString();
}
