#include "tests/support/messageboxanswerer.h"

#include <QApplication>
#include <QMessageBox>

MessageBoxAnswerer::MessageBoxAnswerer()
{
    connect(&timer, &QTimer::timeout, this, &MessageBoxAnswerer::answerVisibleBoxes);
    timer.start(10);
}

void MessageBoxAnswerer::answerVisibleBoxes()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        auto *box = qobject_cast<QMessageBox *>(widget);
        if (!box || !box->isVisible())
            continue;
        boxes.append({box->windowTitle(), box->text()});
        box->done(QMessageBox::Ok);
    }
}
