#include <QApplication>
#include <cstdlib>

#include "app/updaterenvironment.h"
#include "app/updatewindow.h"

int main(int argc, char *argv[])
{
    // Neither object is destroyed and exec() is never entered: all waiting happens in the
    // nested loops of the update run, and the process ends as soon as it returns.
    // The window draws nothing with OpenGL; on X11 loading its integration alone more than doubles
    // the memory the updater holds.
    UpdaterEnvironment::setOwnVariable("QT_XCB_GL_INTEGRATION", "none");
#ifdef Q_OS_UNIX
    // Without TZ the C library looks at /etc/localtime again on every local time conversion, and a
    // release of thousands of files makes thousands: this names the same zone, read once.
    UpdaterEnvironment::setOwnVariable("TZ", ":/etc/localtime");
#endif
    auto *app = new QApplication(argc, argv);
    Q_UNUSED(app);
    auto *window = new updateWindow;
    window->show();
    window->on_btnTest_clicked();
    std::exit(0);
}
