#include "ui/retrycountdown.h"

#include <QLabel>

RetryCountdown::RetryCountdown(QLabel *label)
    : label(label)
{
    tick.setInterval(1000);
    tick.callOnTimeout(this, &RetryCountdown::show);
}

void RetryCountdown::start(int waitMs, int nextAttempt, int maxAttempts)
{
    due.setRemainingTime(waitMs);
    attempt = nextAttempt;
    attempts = maxAttempts;
    written.clear();
    tick.start(); // ticks from now, so each second's text stands a whole second
    if (label)
        written = label->text();
    show();
}

void RetryCountdown::stop()
{
    tick.stop();
}

void RetryCountdown::show()
{
    if (!label || label->text() != written)
        return stop();
    const qint64 seconds = (due.remainingTime() + 999) / 1000;
    // Named an attempt, so that it cannot be read as a count of files.
    written = seconds > 0 ? tr("Retrying in %1 s, attempt %2 of %3...").arg(seconds).arg(attempt).arg(attempts)
                          : tr("Retrying, attempt %1 of %2...").arg(attempt).arg(attempts);
    label->setText(written);
    if (seconds <= 0)
        stop();
}
