#include "app/updatewindow.h"
#include "download/downloadnetworkmanager.h"

QString updateWindow::makeTempFileName()
{
    return {};
}

bool updateWindow::downloadFile(const QString &url, const QString &tempPath)
{
    Q_UNUSED(url);
    Q_UNUSED(tempPath);
    return false;
}
