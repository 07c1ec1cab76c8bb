#include "ui/unitformat.h"

#include <QObject>
#include <QStringList>

namespace {

// Sizes and speeds share one scale in powers of 1024; only the unit names differ.
QString scaledText(double v, const QString &noUnit, const QString &bytes, const QString &kilo,
                   const QString &mega, const QString &giga)
{
    double shown = 0;
    QString unit = noUnit;
    if (v <= 0) {
    } else if (v < 1024) {
        shown = v;
        unit = bytes;
    } else if (v < 1048576) {
        shown = v / 1024;
        unit = kilo;
    } else if (v < 1073741824) {
        shown = v / 1048576;
        unit = mega;
    } else { // also NaN and infinity
        shown = v / 1073741824;
        unit = giga;
    }
    return QStringLiteral("%1 %2").arg(QString::number(shown, 'f', 2), unit);
}

} // namespace

namespace UnitFormat {

QString sizeText(qint64 bytes)
{
    return scaledText(double(bytes), QString(), QObject::tr("Bytes"), QObject::tr("KB"),
                      QObject::tr("MB"), QObject::tr("GB"));
}

QString speedText(double bytesPerSecond)
{
    const QString bytes = QObject::tr("Bytes/S");
    return scaledText(bytesPerSecond, bytes, bytes, QObject::tr("KB/S"), QObject::tr("MB/S"),
                      QObject::tr("GB/S"));
}

QString timeText(int seconds)
{
    if (seconds <= 0)
        return QObject::tr("%1s").arg(0);
    const int days = seconds / 86400;
    const int hours = seconds % 86400 / 3600;
    const int minutes = seconds % 3600 / 60;
    const int rest = seconds % 60;
    QStringList parts;
    if (days > 0)
        parts << QObject::tr("%1d").arg(days);
    if (hours > 0)
        parts << QObject::tr("%1h").arg(hours);
    if (minutes > 0)
        parts << QObject::tr("%1m").arg(minutes);
    if (rest > 0)
        parts << QObject::tr("%1s").arg(rest);
    return parts.join(QLatin1Char(' '));
}

} // namespace UnitFormat
