#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QPointer>
#include <QTimer>

class QLabel;

// Shows the wait before another attempt on a label, counting down each second, and leaves the label
// alone once anything else has written to it.
class RetryCountdown : public QObject
{
    Q_DECLARE_TR_FUNCTIONS(RetryCountdown)

public:
    explicit RetryCountdown(QLabel *label);

    void start(int waitMs, int nextAttempt, int maxAttempts);
    void stop();

private:
    void show();

    QPointer<QLabel> label;
    QTimer tick;
    QDeadlineTimer due;
    int attempt = 0;
    int attempts = 0;
    QString written; // the label's text as this last set it
};
