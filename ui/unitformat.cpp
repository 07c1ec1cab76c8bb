#include "ui/unitformat.h"

QString sizeText(qint64 bytes)
{
    Q_UNUSED(bytes);
    return {};
}

QString speedText(double bytesPerSecond)
{
    Q_UNUSED(bytesPerSecond);
    return {};
}

QString timeText(int seconds)
{
    Q_UNUSED(seconds);
    return {};
}
