#include "download/contentcheck.h"

ContentCheck::ContentCheck(qint64 size, const QByteArray &sha256)
    : active(true)
    , size(size)
    , sha256(sha256)
{
}

bool ContentCheck::add(const QByteArray &data)
{
    if (!active)
        return true;
    if (received + data.size() > size) {
        error = tr("the file is longer than the %1 bytes of the signed release").arg(size);
        return false;
    }
    received += data.size();
    hash.Update(reinterpret_cast<const CryptoPP::byte *>(data.constData()), size_t(data.size()));
    return true;
}

bool ContentCheck::finish()
{
    if (!active)
        return true;
    QByteArray digest(CryptoPP::SHA256::DIGESTSIZE, Qt::Uninitialized);
    hash.Final(reinterpret_cast<CryptoPP::byte *>(digest.data()));
    if (received != size)
        error = tr("the file has %1 bytes, not the %2 of the signed release").arg(received).arg(size);
    else if (digest != sha256)
        error = tr("the file's SHA-256 does not match the signed release");
    return error.isEmpty();
}
