#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QString>
#include <atomic>
#include <cryptopp/sha.h>

// Holds a download to the size and SHA-256 its release lists, as the bytes stream in: a body
// longer than listed is stopped at the listed size, a shorter or different one fails at the end.
class ContentCheck
{
    Q_DECLARE_TR_FUNCTIONS(ContentCheck)

public:
    ContentCheck() = default; // checks nothing
    ContentCheck(qint64 size, const QByteArray &sha256);

    bool isActive() const { return active; }
    qint64 listedSize() const { return size; }
    // False, taking none of data, when it would exceed the listed size.
    bool add(const QByteArray &data);
    // False when the bytes added differ from the listed ones.
    bool finish();
    QString errorString() const { return error; }

private:
    bool active = false;
    qint64 size = 0;
    QByteArray sha256;
    qint64 received = 0;
    CryptoPP::SHA256 hash;
    QString error;
};

// The SHA-256 of the file's bytes; empty when it cannot be read, or when stop was set before the end.
QByteArray fileSha256(const QString &path, const std::atomic_bool *stop = nullptr);
