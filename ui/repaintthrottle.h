#pragma once

#include <QObject>
#include <QTimer>

class QWidget;

// While held, a widget's texts still change at once but its painting and layout catch up only a
// few times a second: a run of many small files otherwise spends more time drawing the window
// than fetching the files. Released (also on destruction), the widget is painted as it is now.
class RepaintThrottle : public QObject
{
public:
    explicit RepaintThrottle(QWidget *widget, int intervalMs = 100);
    ~RepaintThrottle() override;

    void hold();
    void release();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void catchUp();

    QWidget *widget;
    QTimer timer;
    bool held = false;
    bool layoutPending = false;
};
