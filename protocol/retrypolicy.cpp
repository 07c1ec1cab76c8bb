#include "protocol/retrypolicy.h"

#include <QList>
#include <QNetworkReply>
#include <QRandomGenerator>

bool RetryPolicy::isTransient(const QNetworkReply *reply)
{
    switch (reply->error()) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::TimeoutError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyTimeoutError:
        return true;
    default:
        break;
    }
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    return status.isValid() && QList<int>{408, 429, 500, 502, 503, 504}.contains(status.toInt());
}

int RetryPolicy::waitMs(const QNetworkReply *reply, int attempt) const
{
    bool given = false;
    const qint64 retryAfter = reply->rawHeader("Retry-After").trimmed().toLongLong(&given);
    const qint64 maxWait = qMax(0, maxRetryWaitMs);
    // Bounded before it is multiplied: a huge value would overflow to a wait that never ends.
    if (given && retryAfter >= 0)
        return int(qMin(qMin<qint64>(retryAfter, maxWait / 1000 + 1) * 1000, maxWait));
    const qint64 base = qMax(0, backoffBaseMs);
    const qint64 backoff = base << qBound(0, attempt - 1, 16);
    const qint64 jitter = QRandomGenerator::global()->bounded(int(base / 2 + 1));
    return int(qMin(backoff + jitter, maxWait));
}
