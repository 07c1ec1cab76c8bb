#include "app/updatewindow.h"

bool updateWindow::coverFile(const QString &tempPath, const QString &targetPath)
{
    Q_UNUSED(tempPath);
    Q_UNUSED(targetPath);
    return false;
}

void updateWindow::clearTempFolder()
{
}
