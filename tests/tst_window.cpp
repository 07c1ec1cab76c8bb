#include <QtTest>

#include "app/updatewindow.h"

class tst_window : public QObject
{
    Q_OBJECT
private slots:
    void smoke()
    {
        updateWindow w;
        QCOMPARE(w.objectName(), QString("updateClass"));
    }
};

QTEST_MAIN(tst_window)
#include "tst_window.moc"
