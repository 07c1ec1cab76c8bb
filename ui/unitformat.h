#pragma once

#include <QString>

QString sizeText(qint64 bytes);
QString speedText(double bytesPerSecond);
QString timeText(int seconds);
