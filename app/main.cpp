#include <QApplication>
#include <cstdlib>

#include "app/updatewindow.h"
#include "protocol/certificatetrust.h"

int main(int argc, char *argv[])
{
    // Neither object is destroyed and exec() is never entered: all waiting happens in the
    // nested loops of the update run, and the process ends as soon as it returns.
    // The window draws nothing with OpenGL; on X11 loading its integration alone more than doubles
    // the memory the updater holds.
    if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", "none");
    auto *app = new QApplication(argc, argv);
    Q_UNUSED(app);
    trustOpenSslEnvironment();
    auto *window = new updateWindow;
    window->show();
    window->on_btnTest_clicked();
    std::exit(0);
}
