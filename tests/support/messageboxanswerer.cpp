#include "tests/support/messageboxanswerer.h"

#include <QApplication>
#include <QMessageBox>
#include <QTextDocument>

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
        const bool plain = box->textFormat() == Qt::PlainText
            || (box->textFormat() == Qt::AutoText && !Qt::mightBeRichText(box->text()));
        boxes.append({box->windowTitle(), box->text(), plain});
        box->done(QMessageBox::Ok);
    }
}
