#include <QtTest>

#include <QMetaMethod>

#include "app/updatewindow.h"

class tst_window : public QObject
{
    Q_OBJECT

private slots:
    void initialTexts_data();
    void initialTexts();
    void formShape();
    void namedWindowKeepsItsName();
    void slotsInOrder();
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

    // The caption labels share one font: underline explicitly off, nothing else set.
    for (QLabel *caption : {window.label, window.label_3, window.label_5, window.label_7, window.label_9,
                            window.label_12}) {
        QCOMPARE(caption->font().resolve(), uint(QFont::UnderlineResolved));
        QVERIFY(!caption->font().underline());
    }

    QVERIFY(!window.teFiles->isReadOnly());
    QVERIFY(window.teFiles->toPlainText().isEmpty());
    QCOMPARE(window.pbProgress->value(), 0);
    QCOMPARE(window.pbProgress->alignment(), Qt::AlignCenter);

    // Grid cells of the five caption/value pairs.
    const QList<QPair<QLayout *, QVector<int>>> cells = {
        {window.horizontalLayout_5, {0, 0, 1, 2}}, {window.horizontalLayout, {1, 0, 1, 1}},
        {window.horizontalLayout_3, {1, 1, 1, 1}}, {window.horizontalLayout_2, {2, 0, 1, 1}},
        {window.horizontalLayout_4, {2, 1, 1, 1}}};
    for (const auto &cell : cells) {
        const int index = window.gridLayout->indexOf(cell.first);
        QVERIFY(index >= 0);
        int row, column, rowSpan, columnSpan;
        window.gridLayout->getItemPosition(index, &row, &column, &rowSpan, &columnSpan);
        QCOMPARE((QVector<int>{row, column, rowSpan, columnSpan}), cell.second);
    }
    QCOMPARE(window.Ui::updateClass::menuBar->geometry(), QRect(0, 0, 400, 23));
    QCOMPARE(window.horizontalLayout_7->count(), 0);
}

void tst_window::namedWindowKeepsItsName()
{
    QMainWindow window;
    window.setObjectName("mine");
    Ui::updateClass form;
    form.setupUi(&window);
    QCOMPARE(window.objectName(), QString("mine"));
}

void tst_window::slotsInOrder()
{
    const QMetaObject *meta = &updateWindow::staticMetaObject;
    QCOMPARE(meta->className(), "updateWindow");
    QCOMPARE(meta->methodCount() - meta->methodOffset(), 2);
    QCOMPARE(meta->method(meta->methodOffset()).methodSignature(), QByteArray("progressChanged(qlonglong,qlonglong)"));
    QCOMPARE(meta->method(meta->methodOffset() + 1).methodSignature(), QByteArray("on_btnTest_clicked()"));

    updateWindow window;
    QVERIFY(window.qt_metacast("Ui::updateClass"));
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
