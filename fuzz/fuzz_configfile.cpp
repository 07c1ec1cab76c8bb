// config.xml beside the updater, read at the start of every run.
#include <QByteArray>

#include "protocol/configfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    UpdaterConfig config;
    parseUpdaterConfig(QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size)), &config);
    return 0;
}
