#pragma once

#include <QString>

// What the window shows for one progress report of a download.
struct ProgressDisplay
{
    QString speed;
    QString remainingTime;
    QString fileSize;
    QString downloaded;
    int barMaximum = 0;
    int barValue = 0;
};

// bytesReceived and elapsedMs count from the start of the download.
ProgressDisplay progressDisplay(qint64 bytesReceived, qint64 bytesTotal, qint64 elapsedMs);
