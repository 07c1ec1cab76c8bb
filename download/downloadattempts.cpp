#include "download/downloadattempts.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>

#include <limits>

namespace {

// The answer to "bytes=N-" must be all the rest, "bytes N-END/TOTAL" with END the file's last byte;
// anything else here would be taken for the whole file once its bytes end.
bool isRestOfFile(const QNetworkReply *reply, qint64 offset, qint64 listedSize)
{
    // At most 18 digits each: no sum or comparison below can leave 64 bits.
    static const QRegularExpression pattern("^bytes ([0-9]{1,18})-([0-9]{1,18})/([0-9]{1,18})$");
    const QRegularExpressionMatch range = pattern.match(QString::fromLatin1(reply->rawHeader("Content-Range")));
    if (!range.hasMatch())
        return false;
    const qint64 start = range.captured(1).toLongLong();
    const qint64 end = range.captured(2).toLongLong();
    const qint64 total = range.captured(3).toLongLong();
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    return start == offset && end >= start && end == total - 1
        && (!length.isValid() || length.toLongLong() == end - start + 1) && (listedSize < 0 || listedSize == total);
}

} // namespace

void DownloadAttempts::begin()
{
    validator.clear();
    current = 0;
    furthest = 0;
    clock.start();
}

void DownloadAttempts::startAttempt(QNetworkRequest *request, qint64 held, qint64 listedSize)
{
    ++current;
    bytesThisWindow = 0;
    // Only the rest of the same file: If-Range makes a server whose file changed send it whole.
    // Without a validator a listed digest still tells a file stitched from two apart.
    if (held > 0 && (!validator.isEmpty() || listedSize >= 0))
        request->setRawHeader("Range", "bytes=" + QByteArray::number(held) + "-");
    if (held > 0 && !validator.isEmpty())
        request->setRawHeader("If-Range", validator);
}

// A resumed answer is the rest of the bytes held (206 from where they end, of the same file), or
// the whole file again (200), which starts it over.
DownloadAttempts::Answer DownloadAttempts::answered(const QNetworkReply *reply, qint64 offset, qint64 listedSize)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    QByteArray sent = reply->rawHeader("ETag");
    if (sent.isEmpty() || sent.startsWith("W/"))
        sent = reply->rawHeader("Last-Modified");
    const bool sameFile = sent == validator || (validator.isEmpty() && listedSize >= 0);
    if (status == 206 && (offset == 0 || !isRestOfFile(reply, offset, listedSize) || !sameFile)) {
        validator.clear(); // the next attempt asks for the whole file
        return Answer::OtherPart;
    }
    if (status != 200)
        return Answer::Continue;
    validator = sent;
    return offset > 0 ? Answer::StartOver : Answer::Continue;
}

qint64 DownloadAttempts::minBytesPerWindow() const
{
    return bounds.minBytesPerSecond * bounds.slowWindowMs / 1000;
}

DownloadError DownloadAttempts::checkPace()
{
    DownloadError slow;
    if (bytesThisWindow < minBytesPerWindow())
        slow = {QNetworkReply::TimeoutError,
                tr("Less than %1 bytes arrived in %2 seconds").arg(minBytesPerWindow()).arg(bounds.slowWindowMs / 1000.0), true};
    bytesThisWindow = 0;
    return slow;
}

int DownloadAttempts::deadlineMs(qint64 size) const
{
    const qint64 ms = bounds.slowWindowMs + size * 1000 / qMax<qint64>(1, bounds.minBytesPerSecond);
    return int(qMin<qint64>(ms, std::numeric_limits<int>::max()));
}

int DownloadAttempts::retryWaitMs(const QNetworkReply *reply, qint64 held, const DownloadError &outcome)
{
    // Further into the file at no less than the floor's pace since the last such attempt, waits
    // included: a peer that hands out a few bytes an attempt does not start the counts again.
    const qint64 gained = held - furthest;
    if (gained > 0 && gained >= bounds.minBytesPerSecond * clock.elapsed() / 1000) {
        furthest = held;
        current = 1;
        clock.start();
    }
    const int waitMs = bounds.retry.waitMs(reply, current);
    if (outcome.failed() && outcome.transient && current < bounds.retry.maxAttempts
        && clock.elapsed() + waitMs < bounds.retryBudgetMs)
        return waitMs;
    return -1;
}
