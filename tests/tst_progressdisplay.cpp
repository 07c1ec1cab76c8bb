#include <QtTest>

#include <climits>

#include <QLabel>

#include "ui/progressdisplay.h"
#include "ui/retrycountdown.h"

class tst_progressdisplay : public QObject
{
    Q_OBJECT
private slots:
    void texts_data()
    {
        QTest::addColumn<qint64>("received");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<int>("elapsedMs");
        QTest::addColumn<QString>("speed");
        QTest::addColumn<QString>("remaining");
        QTest::addColumn<QString>("size");
        QTest::addColumn<QString>("downloaded");

        const qint64 GiB = qint64(1) << 30;
        QTest::newRow("size not reported")
            << qint64(1536) << qint64(-1) << 1000000 << "1.54 Bytes/S" << "0s" << "0.00 " << "1.50 KB";
        QTest::newRow("2.2 s left shows 3s")
            << qint64(2048000) << qint64(2048000 + 4506) << 1000000 << "2.00 KB/S" << "3s" << "1.96 MB" << "1.95 MB";
        QTest::newRow("beyond 2 GiB")
            << 2 * GiB << 6 * GiB + GiB / 2 << 1000200 << "2.05 MB/S" << "37m 31s" << "6.50 GB" << "2.00 GB";
        QTest::newRow("no time measured yet")
            << qint64(4096) << qint64(8192) << 0 << "0.00 Bytes/S" << "0s" << "8.00 KB" << "4.00 KB";
        QTest::newRow("complete") << qint64(1024) << qint64(1024) << 2000 << "512.00 Bytes/S" << "0s" << "1.00 KB" << "1.00 KB";
    }
    void texts()
    {
        QFETCH(qint64, received);
        QFETCH(qint64, total);
        QFETCH(int, elapsedMs);

        const ProgressDisplay shown = progressDisplay(received, total, elapsedMs);
        QTEST(shown.speed, "speed");
        QTEST(shown.remainingTime, "remaining");
        QTEST(shown.fileSize, "size");
        QTEST(shown.downloaded, "downloaded");
        if (total < 0) {
            QCOMPARE(shown.barMaximum, -1);
        } else {
            // The bar shows the true fraction, whatever scale it counts in.
            QVERIFY(shown.barMaximum > 0);
            QVERIFY(qAbs(double(shown.barValue) / shown.barMaximum - double(received) / total) < 1e-6);
        }
    }

    // The wait counts down each second, then says the attempt is under way; a text anyone else
    // writes meanwhile stays.
    void retryCountdown()
    {
        QLabel label("Downloading (1/5)...");
        RetryCountdown countdown(&label);
        countdown.start(1500, 2, 5);
        QCOMPARE(label.text(), QString("Retrying in 2 s, attempt 2 of 5..."));
        QTRY_COMPARE_WITH_TIMEOUT(label.text(), QString("Retrying in 1 s, attempt 2 of 5..."), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(label.text(), QString("Retrying, attempt 2 of 5..."), 5000);

        countdown.start(1500, 3, 5);
        label.setText("Downloading (2/5)...");
        QLabel beside;
        RetryCountdown later(&beside); // ticks just after the first
        later.start(1500, 3, 5);
        QTRY_COMPARE_WITH_TIMEOUT(beside.text(), QString("Retrying in 1 s, attempt 3 of 5..."), 5000);
        QCOMPARE(label.text(), QString("Downloading (2/5)..."));
    }
};

QTEST_MAIN(tst_progressdisplay)
#include "tst_progressdisplay.moc"
