#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

// Makes a binary patch from one version of a file to the next, in the format PatchApplier reads.
class PatchMaker
{
    Q_DECLARE_TR_FUNCTIONS(PatchMaker)

public:
    // False, saying why, when no patch can be made.
    bool make(const QByteArray &oldBytes, const QByteArray &newBytes, QByteArray *patch);
    QString errorString() const { return error; }

private:
    QString error;
};
