#pragma once

#include <QString>

class QWidget;

// A critical box whose text is shown exactly as it is. Its words may come from the network (a
// server's reason phrase, a file name): as rich text, headings, images and links would render,
// and a click on a link would open it with the updater's rights.
class PlainTextBox
{
public:
    static void critical(QWidget *parent, const QString &title, const QString &text);
};
