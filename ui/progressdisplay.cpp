#include "app/updatewindow.h"
#include "ui/unitformat.h"

void updateWindow::progressChanged(qint64 bytesReceived, qint64 bytesTotal)
{
    Q_UNUSED(bytesReceived);
    Q_UNUSED(bytesTotal);
}
