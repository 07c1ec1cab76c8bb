// The decrypted upgrade reply: whatever JSON the service sends is read into the file list.
#include <QByteArray>
#include <QJsonDocument>

#include "protocol/upgradereply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size)));
    const UpgradeReply reply = readUpgradeReply(document.object());
    outOfDateFiles(reply.offered, {});
    outOfDateFiles(reply.offered, reply.offered);
    return 0;
}
