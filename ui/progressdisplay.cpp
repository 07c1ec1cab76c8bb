#include "ui/progressdisplay.h"

#include "ui/unitformat.h"

#include <climits>
#include <cmath>

ProgressDisplay progressDisplay(qint64 bytesReceived, qint64 bytesTotal, qint64 elapsedMs)
{
    // Within the first millisecond there is no speed to speak of yet; a zero interval would
    // otherwise show an infinite one.
    const double speed = elapsedMs > 0 ? double(bytesReceived) * 1000.0 / double(elapsedMs) : 0.0;
    const double remaining = std::ceil(double(bytesTotal - bytesReceived) / speed);
    const bool fitsInt = std::isfinite(remaining) && remaining >= INT_MIN && remaining <= INT_MAX;

    ProgressDisplay shown;
    shown.speed = UnitFormat::speedText(speed);
    shown.remainingTime = UnitFormat::timeText(fitsInt ? int(remaining) : INT_MIN);
    shown.fileSize = UnitFormat::sizeText(bytesTotal);
    shown.downloaded = UnitFormat::sizeText(bytesReceived);

    // The bar counts in int: beyond 2 GiB both ends are scaled down alike instead of cut.
    int shift = 0;
    while ((bytesTotal >> shift) > INT_MAX)
        ++shift;
    shown.barMaximum = int(bytesTotal >> shift);
    shown.barValue = int(bytesReceived >> shift);
    return shown;
}
