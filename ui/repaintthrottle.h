#pragma once

#include <QObject>
#include <QPointer>
#include <QTextCursor>
#include <QTextDocument>
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
    // While held, the document's changes are gathered into one edit that ends with each catch-up:
    // a list that grows by a line a file is then laid out once an interval, not once a line.
    void gatherEdits(QTextDocument *document);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void catchUp();
    void gather(bool on);

    QWidget *widget;
    QTimer timer;
    bool held = false;
    bool layoutPending = false;
    QPointer<QTextDocument> document;
    QTextCursor edit; // holds the gathering edit open
    bool gathering = false;
};
