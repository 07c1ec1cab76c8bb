#include "app/logintoken.h"

#include <QBuffer>
#include <QDataStream>

QString loginTokenFrom(const QByteArray &segmentBytes)
{
    QBuffer buffer;
    buffer.setData(segmentBytes);
    if (!buffer.open(QIODevice::ReadOnly))
        return QLatin1String("");
    QDataStream stream(&buffer);
    QString token = QLatin1String("");
    stream >> token;
    // A length running past the segment leaves the stream's partial read behind.
    if (stream.status() != QDataStream::Ok)
        return QLatin1String("");
    return token;
}
