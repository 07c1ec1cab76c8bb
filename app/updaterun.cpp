#include "app/updatewindow.h"

void updateWindow::runUpdate()
{
}
