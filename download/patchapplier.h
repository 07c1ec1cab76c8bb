#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

class QIODevice;

// Applies a patch that PatchMaker made to the bytes of the installed file, writing the new file to
// output as it is made. A patch is data from the network: whatever it holds, nothing is read
// outside base or patch, and no more than maxSize bytes are written.
class PatchApplier
{
    Q_DECLARE_TR_FUNCTIONS(PatchApplier)

public:
    bool apply(const QByteArray &base, const QByteArray &patch, QIODevice *output, qint64 maxSize);
    QString errorString() const { return error; }

private:
    QString error;
};
