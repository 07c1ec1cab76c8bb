#include <QtTest>

#include "app/updatewindow.h"

class tst_window : public QObject
{
    Q_OBJECT

private slots:
    void initialTexts_data();
    void initialTexts();
    void formShape();
    void firstCloseHidesAndEndsTheWait();
    void laterCloseGoesToDefaultHandling();
};

void tst_window::initialTexts_data()
{
    QTest::addColumn<QString>("objectName");
    QTest::addColumn<QString>("text");
    QTest::newRow("label") << "label" << "Total:";
    QTest::newRow("leQuantity") << "leQuantity" << "0";
    QTest::newRow("leProgress") << "leProgress" << "Downloading...";
    QTest::newRow("label_5") << "label_5" << "Filesize:";
    QTest::newRow("leFileSize") << "leFileSize" << "0 KB";
    QTest::newRow("label_7") << "label_7" << "Downloaded:";
    QTest::newRow("leDownLoaded") << "leDownLoaded" << "0 KB";
    QTest::newRow("label_12") << "label_12" << "Speed:";
    QTest::newRow("leSpeed") << "leSpeed" << "0 KB/S";
    QTest::newRow("label_9") << "label_9" << "Time:";
    QTest::newRow("leTime") << "leTime" << "0 S";
    QTest::newRow("label_3") << "label_3" << "Filename:";
    QTest::newRow("leFileName") << "leFileName" << "None";
}

void tst_window::initialTexts()
{
    QFETCH(QString, objectName);
    QFETCH(QString, text);
    updateWindow window;
    auto *label = window.findChild<QLabel *>(objectName);
    QVERIFY(label);
    QCOMPARE(label->text(), text);
}

void tst_window::formShape()
{
    updateWindow window;
    QCOMPARE(window.objectName(), QString("updateClass"));
    QCOMPARE(window.windowTitle(), QString("update"));
    QCOMPARE(window.size(), QSize(400, 304));
    QCOMPARE(window.minimumSize(), QSize(400, 304));
    QCOMPARE(window.maximumSize(), QSize(400, 304));

    QVERIFY(!window.teFiles->isReadOnly());
    QVERIFY(window.teFiles->toPlainText().isEmpty());
    QCOMPARE(window.pbProgress->value(), 0);
    QCOMPARE(window.pbProgress->alignment(), Qt::AlignCenter);

    // The form comes from uic and the meta-object from moc: one look that both are the window's.
    QVERIFY(window.qt_metacast("Ui::updateClass"));
    QVERIFY(updateWindow::staticMetaObject.indexOfSlot("progressChanged(qlonglong,qlonglong)") >= 0);
}

void tst_window::firstCloseHidesAndEndsTheWait()
{
    updateWindow window;
    window.show();
    QTimer::singleShot(0, &window, &QWidget::close);
    QTimer watchdog;
    bool timedOut = false;
    watchdog.callOnTimeout([&] { timedOut = true; window.eventLoop.quit(); });
    watchdog.start(5000);
    window.eventLoop.exec();
    QVERIFY(!timedOut);
    QVERIFY(window.closing);
    QVERIFY(window.isHidden());
}

void tst_window::laterCloseGoesToDefaultHandling()
{
    updateWindow window;
    window.show();
    QVERIFY(window.close());
    window.show();
    // The loop must now run on past a second close: only the later timer ends it.
    bool endedByTimer = false;
    QTimer::singleShot(0, &window, &QWidget::close);
    QTimer::singleShot(100, &window, [&] { endedByTimer = true; window.eventLoop.quit(); });
    window.eventLoop.exec();
    QVERIFY(endedByTimer);
    QVERIFY(window.isHidden());
}

QTEST_MAIN(tst_window)
#include "tst_window.moc"
