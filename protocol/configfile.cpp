#include "protocol/configfile.h"

QString readUpdateUrl(QString path)
{
    Q_UNUSED(path);
    return {};
}
