#include "app/updatewindow.h"

#include <QBuffer>
#include <QCloseEvent>
#include <QDataStream>
#include <QMessageBox>
#include <QSharedMemory>

updateWindow::updateWindow(QWidget *parent)
    : QMainWindow(parent)
    , eventLoop(this)
{
    setupUi(this);
    publicKey = UPDATER_PUBLIC_KEY;
}

updateWindow::~updateWindow() = default;

void updateWindow::on_btnTest_clicked()
{
    closing = false;
    QSharedMemory segment;
    segment.setKey("Download_inf");
    QMessageBox box;

    if (!segment.attach(QSharedMemory::ReadWrite)) {
        box.setText(tr("LoginFailed"));
        box.exec();
        return;
    }

    QBuffer buffer;
    QDataStream stream(&buffer);
    token = QLatin1String("");
    segment.lock();
    buffer.setData(static_cast<const char *>(segment.constData()), segment.size());
    buffer.open(QIODevice::ReadOnly);
    stream >> token;
    segment.unlock();
    segment.detach();

    // A length running past the segment leaves the stream's partial read behind.
    if (stream.status() != QDataStream::Ok)
        token = QLatin1String("");

    if (token.length() == 0) {
        box.exec();
        return;
    }

    runUpdate();
    clearTempFolder();
    if (closing)
        close();
    closing = true;
}

void updateWindow::closeEvent(QCloseEvent *event)
{
    if (!closing) {
        closing = true;
        eventLoop.quit();
        return;
    }
    QMainWindow::closeEvent(event);
}
