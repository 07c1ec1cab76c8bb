#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

#include <vector>

#include "service/patchmaker.h"

// Makes the executable-aware form ExecPatchApplier reads, for two x86-64 ELF or PE files: their
// code is disassembled, the references of the two files that the byte-level patch aligns are
// matched to common targets, and those pairs give how every old address moved. The patch is those
// moves and a byte-level patch from the old file predicted by them to the new one.
class ExecPatchMaker
{
    Q_DECLARE_TR_FUNCTIONS(ExecPatchMaker)

public:
    // matches: what PatchMaker found for the same two files. False, saying why, when the files are
    // no such executables or no patch can be made.
    bool make(const QByteArray &oldBytes, const QByteArray &newBytes, const std::vector<PatchMaker::Match> &matches,
              QByteArray *patch);
    QString errorString() const { return error; }

private:
    QString error;
};
