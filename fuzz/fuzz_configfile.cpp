// config.xml beside the updater, read at the start of every query.
#include <QByteArray>
#include <QString>

#include "protocol/configfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QString rootName;
    QString url;
    parseUpdateConfig(QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size)), &rootName, &url);
    return 0;
}
