#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

// Answers the modal message boxes an in-process test provokes, as a user would, and keeps what
// each one said.
class MessageBoxAnswerer : public QObject
{
    Q_OBJECT

public:
    struct Box
    {
        QString title;
        QString text;
        bool plain = false; // shown as plain text, whatever it holds
    };

    MessageBoxAnswerer();

    QList<Box> boxes;

private:
    void answerVisibleBoxes();

    QTimer timer;
};
