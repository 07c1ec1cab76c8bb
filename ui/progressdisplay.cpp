#include "app/updatewindow.h"
#include "ui/unitformat.h"

#include <climits>
#include <cmath>

void updateWindow::progressChanged(qint64 bytesReceived, qint64 bytesTotal)
{
    const qint64 ms = downloadTime.elapsed() - progressTimeBase;
    // Within the first millisecond there is no speed to speak of yet; a zero interval would
    // otherwise show an infinite one.
    const double speed = ms > 0 ? double(bytesReceived) * 1000.0 / double(ms) : 0.0;
    const double remaining = std::ceil(double(bytesTotal - bytesReceived) / speed);

    leSpeed->setText(speedText(speed));
    const bool fitsInt = std::isfinite(remaining) && remaining >= INT_MIN && remaining <= INT_MAX;
    leTime->setText(timeText(fitsInt ? int(remaining) : INT_MIN));
    leFileSize->setText(sizeText(bytesTotal));
    leDownLoaded->setText(sizeText(bytesReceived));

    // The bar counts in int: beyond 2 GiB both ends are scaled down alike instead of cut.
    int shift = 0;
    while ((bytesTotal >> shift) > INT_MAX)
        ++shift;
    pbProgress->setMaximum(int(bytesTotal >> shift));
    pbProgress->setValue(int(bytesReceived >> shift));

    // downloadTime restarts with each download and bytesReceived counts from that same start, so
    // the base stays at the start (0): the speed is the average since the download began.
    progressTimeBase = 0;
}
