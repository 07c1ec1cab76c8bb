#include "download/contentcheck.h"

#include <QFile>

namespace {

QByteArray digestOf(CryptoPP::SHA256 &hash)
{
    QByteArray digest(CryptoPP::SHA256::DIGESTSIZE, Qt::Uninitialized);
    hash.Final(reinterpret_cast<CryptoPP::byte *>(digest.data()));
    return digest;
}

} // namespace

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
    const QByteArray digest = digestOf(hash);
    if (received != size)
        error = tr("the file has %1 bytes, not the %2 of the signed release").arg(received).arg(size);
    else if (digest != sha256)
        error = tr("the file's SHA-256 does not match the signed release");
    return error.isEmpty();
}

QByteArray fileSha256(const QString &path, const std::atomic_bool *stop)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    CryptoPP::SHA256 hash;
    for (QByteArray chunk = file.read(1 << 20); !chunk.isEmpty(); chunk = file.read(1 << 20)) {
        if (stop && *stop)
            return {};
        hash.Update(reinterpret_cast<const CryptoPP::byte *>(chunk.constData()), size_t(chunk.size()));
    }
    return file.error() == QFileDevice::NoError ? digestOf(hash) : QByteArray();
}
