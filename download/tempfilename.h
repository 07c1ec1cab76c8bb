#pragma once

#include <QDateTime>
#include <QString>

// A name under installDir + "tmps" that no file or folder holds yet, made from the time given;
// the folder is made on first need. Empty when there is none to be had, or when tmps is a link.
QString freeTempFileName(const QString &installDir, const QDateTime &now);
