// A path the service names must, once accepted, name something strictly inside the installation.
#include <QDir>
#include <QString>
#include <cstdlib>
#include <cstring>

#include "app/installation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString path = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    if (!Installation::isSafeRelativePath(path))
        return 0;
    // Windows takes backslashes as separators too: judge the path as it would be joined there.
    const QString joined = QDir::cleanPath("/install/" + QString(path).replace('\\', '/'));
    if (!joined.startsWith("/install/") || joined.size() == int(strlen("/install/")) || path.contains(QChar(0))
        || path.contains('\n'))
        std::abort();
    return 0;
}
