#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QByteArray>

#include "download/downloaderror.h"
#include "protocol/retrypolicy.h"

class QNetworkReply;
class QNetworkRequest;

// Bounds on one download; reaching one fails it as a transport failure.
struct DownloadLimits
{
    int stallTimeoutMs = 60000; // nothing received for this long
    // Less than this pace over any whole window fails too: a byte now and then must not keep it
    // alive, and a file of known size gets no more time than it takes at this pace.
    int slowWindowMs = 60000;
    qint64 minBytesPerSecond = 8 * 1024;
    // Stops before the disk holding the file would have less than this left.
    qint64 minFreeDiskBytes = 64 * 1024 * 1024;
    // A transient failure (the connection lost, a stall, 408, 429, 5xx) is tried again, the
    // rest of a file asked for where the server can tell it is the same file; no new attempt
    // once retryBudgetMs have passed. An attempt that got further into the file than any
    // before, at the floor's pace, starts both counts again: a link that drops now and then
    // still brings the file whole.
    RetryPolicy retry;
    int retryBudgetMs = 180000;
};

// The attempts of one download: whether another is made and when, what it asks for of the bytes
// already held, and whether the pace holds.
class DownloadAttempts
{
    Q_DECLARE_TR_FUNCTIONS(DownloadAttempts)

public:
    // What an answer's head means for the bytes already held.
    enum class Answer { Continue, StartOver, OtherPart };

    void setLimits(const DownloadLimits &limits) { bounds = limits; }
    const DownloadLimits &limits() const { return bounds; }

    void begin(); // a new download
    // An attempt of it, held bytes already in hand: asks for the rest when the server can tell it is
    // the same file, or when the whole is held to a listed size and digest (listedSize: -1 when none).
    void startAttempt(QNetworkRequest *request, qint64 held, qint64 listedSize);
    int attempt() const { return current; }
    // offset: where the answer's body goes in the file; listedSize: -1 when no size is listed.
    Answer answered(const QNetworkReply *reply, qint64 offset, qint64 listedSize);

    void received(qint64 bytes) { bytesThisWindow += bytes; }
    // Ends a pace window: the error of a download that fell under the floor, else none.
    DownloadError checkPace();
    // The longest a download of size bytes may take.
    int deadlineMs(qint64 size) const;

    // After an attempt ended with outcome, held bytes in hand: the wait before the next, or -1
    // when there is to be none.
    int retryWaitMs(const QNetworkReply *reply, qint64 held, const DownloadError &outcome);

private:
    qint64 minBytesPerWindow() const;

    DownloadLimits bounds;
    int current = 0;       // since the last that got further into the file
    qint64 furthest = 0;   // bytes of the file held after the best attempt
    QElapsedTimer clock;   // since that attempt
    QByteArray validator;  // the server's ETag or Last-Modified for the bytes held
    qint64 bytesThisWindow = 0;
};
