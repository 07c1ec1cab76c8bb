#include <QtTest>

#include <cmath>
#include <limits>

#include "ui/unitformat.h"

class tst_unitformat : public QObject
{
    Q_OBJECT
private slots:
    void sizes_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << qint64(0) << "0.00 ";
        QTest::newRow("negative") << qint64(-1) << "0.00 ";
        QTest::newRow("one byte") << qint64(1) << "1.00 Bytes";
        QTest::newRow("below KB") << qint64(1023) << "1023.00 Bytes";
        QTest::newRow("one KB") << qint64(1024) << "1.00 KB";
        QTest::newRow("KB and a half") << qint64(1536) << "1.50 KB";
        QTest::newRow("below MB rounds up") << qint64(1048575) << "1024.00 KB";
        QTest::newRow("one MB") << qint64(1048576) << "1.00 MB";
        QTest::newRow("one GB") << qint64(1073741824) << "1.00 GB";
        QTest::newRow("beyond 32 bits") << qint64(5) * 1073741824 << "5.00 GB";
        QTest::newRow("thousands of GB, no grouping") << qint64(2048) * 1073741824 << "2048.00 GB";
    }
    void sizes()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, text);
        QCOMPARE(UnitFormat::sizeText(bytes), text);
    }

    void speeds_data()
    {
        QTest::addColumn<double>("bytesPerSecond");
        QTest::addColumn<QString>("text");
        QTest::newRow("negative") << -5.0 << "0.00 Bytes/S";
        QTest::newRow("zero") << 0.0 << "0.00 Bytes/S";
        QTest::newRow("fraction") << 0.005 << "0.01 Bytes/S";
        QTest::newRow("bytes") << 512.0 << "512.00 Bytes/S";
        QTest::newRow("KB") << 2048.0 << "2.00 KB/S";
        QTest::newRow("MB") << 1.25 * 1048576 << "1.25 MB/S";
        QTest::newRow("GB") << 3.0 * 1073741824 << "3.00 GB/S";
        QTest::newRow("infinite") << std::numeric_limits<double>::infinity() << "inf GB/S";
        QTest::newRow("not a number") << std::nan("") << "nan GB/S";
    }
    void speeds()
    {
        QFETCH(double, bytesPerSecond);
        QFETCH(QString, text);
        QCOMPARE(UnitFormat::speedText(bytesPerSecond), text);
    }

    void times_data()
    {
        QTest::addColumn<int>("seconds");
        QTest::addColumn<QString>("text");
        QTest::newRow("zero") << 0 << "0s";
        QTest::newRow("negative") << -7 << "0s";
        QTest::newRow("most negative") << std::numeric_limits<int>::min() << "0s";
        QTest::newRow("seconds") << 59 << "59s";
        QTest::newRow("a minute") << 60 << "1m";
        QTest::newRow("minute and second") << 61 << "1m 1s";
        QTest::newRow("below an hour") << 3599 << "59m 59s";
        QTest::newRow("an hour") << 3600 << "1h";
        QTest::newRow("hour and second, no empty minutes") << 3601 << "1h 1s";
        QTest::newRow("hour and minute") << 3660 << "1h 1m";
        QTest::newRow("below a day") << 86399 << "23h 59m 59s";
        QTest::newRow("a day") << 86400 << "1d";
        QTest::newRow("day and second") << 86401 << "1d 1s";
        QTest::newRow("every part") << 90061 << "1d 1h 1m 1s";
        QTest::newRow("largest") << std::numeric_limits<int>::max() << "24855d 3h 14m 7s";
    }
    void times()
    {
        QFETCH(int, seconds);
        QFETCH(QString, text);
        QCOMPARE(UnitFormat::timeText(seconds), text);
    }
};

QTEST_APPLESS_MAIN(tst_unitformat)
#include "tst_unitformat.moc"
