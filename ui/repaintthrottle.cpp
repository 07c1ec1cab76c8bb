#include "ui/repaintthrottle.h"

#include <QCoreApplication>
#include <QEvent>
#include <QLayout>
#include <QWidget>

RepaintThrottle::RepaintThrottle(QWidget *widget, int intervalMs)
    : widget(widget)
{
    timer.setInterval(intervalMs);
    timer.callOnTimeout(this, &RepaintThrottle::catchUp);
}

RepaintThrottle::~RepaintThrottle()
{
    release();
}

void RepaintThrottle::hold()
{
    if (held)
        return;
    held = true;
    // On the application: a widget's layout sees its requests before the widget's own filters.
    QCoreApplication::instance()->installEventFilter(this);
    widget->setUpdatesEnabled(false);
    timer.start();
    gather(true);
}

void RepaintThrottle::gatherEdits(QTextDocument *document)
{
    gather(false);
    this->document = document;
    gather(held);
}

void RepaintThrottle::gather(bool on)
{
    if (on && !gathering && document) {
        edit = QTextCursor(document);
        edit.beginEditBlock();
        gathering = true;
    } else if (!on && gathering) {
        gathering = false;
        if (document)
            edit.endEditBlock();
        edit = QTextCursor();
    }
}

void RepaintThrottle::release()
{
    if (!held)
        return;
    held = false;
    timer.stop();
    QCoreApplication::instance()->removeEventFilter(this);
    catchUp();
}

bool RepaintThrottle::eventFilter(QObject *watched, QEvent *event)
{
    // Every label text asks for a new layout of the whole form; one per interval is enough.
    if (watched == widget && event->type() == QEvent::LayoutRequest) {
        layoutPending = true;
        return true;
    }
    return false;
}

void RepaintThrottle::catchUp()
{
    gather(false);
    if (layoutPending && widget->layout()) {
        layoutPending = false;
        widget->layout()->activate();
    }
    widget->setUpdatesEnabled(true); // marks all of it for painting
    widget->repaint();
    if (held)
        widget->setUpdatesEnabled(false);
    gather(held);
}
