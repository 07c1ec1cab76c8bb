#include <QApplication>
#include <cstdlib>

#include "app/updatewindow.h"

int main(int argc, char *argv[])
{
    // Neither object is destroyed and exec() is never entered: all waiting happens in the
    // nested loops of the update run, and the process ends as soon as it returns.
    auto *app = new QApplication(argc, argv);
    Q_UNUSED(app);
    auto *window = new updateWindow;
    window->show();
    window->on_btnTest_clicked();
    std::exit(0);
}
