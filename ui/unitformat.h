#pragma once

#include <QString>

namespace UnitFormat {

QString sizeText(qint64 bytes);
QString speedText(double bytesPerSecond);
QString timeText(int seconds);

} // namespace UnitFormat
