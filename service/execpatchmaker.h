#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QString>


// Makes the executable-aware form ExecPatchApplier reads, for two x86-64 ELF or PE files: their
// code is disassembled, the references of the two files are matched by the code around them, and
// the pairs of targets and of places they give say how every old address moved. The patch is
// those moves and a byte-level patch from the old file predicted by them to the new one.
class ExecPatchMaker
{
    Q_DECLARE_TR_FUNCTIONS(ExecPatchMaker)

public:
    // False, saying why, when the files are no such executables or no patch can be made.
    bool make(const QByteArray &oldBytes, const QByteArray &newBytes, QByteArray *patch);
    QString errorString() const { return error; }

private:
    QString error;
};
