#pragma once

class QNetworkReply;

// When a request that failed for a reason that may pass is sent again, and after how long; the
// query and the downloads follow the same one.
struct RetryPolicy
{
    int maxAttempts = 5; // in all, the first included
    int backoffBaseMs = 2000;
    int maxRetryWaitMs = 60000;

    // The connection lost or refused, or an answer that says to come back later; never an answer
    // about the request itself (404, 403, a redirect).
    static bool isTransient(const QNetworkReply *reply);
    // Before the attempt after `attempt` (counted from 1): the server's Retry-After in seconds when
    // it gives one, else a doubling backoff with up to half the base of jitter; at most maxRetryWaitMs.
    int waitMs(const QNetworkReply *reply, int attempt) const;
};
