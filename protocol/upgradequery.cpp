#include "app/updatewindow.h"

bool updateWindow::queryUpgrade()
{
    return false;
}
