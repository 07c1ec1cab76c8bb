#pragma once

#include <QCoreApplication>
#include <QString>

#include "download/contentcheck.h"

class QIODevice;

// Turns a downloaded smaller form of a file, its compressed copy or a patch to the installed copy,
// into the file itself. The result is held to the file's listed size and SHA-256 as it is made:
// a decompression bomb ends at the listed size, and anything else fails.
class FormDecoder
{
    Q_DECLARE_TR_FUNCTIONS(FormDecoder)

public:
    // form is read and output written from their starts; output is emptied first.
    bool decompress(QIODevice *form, QIODevice *output, ContentCheck expected);
    // baseSha256: what the installed file at basePath must hold for the patch to apply.
    bool applyPatch(const QString &basePath, const QByteArray &baseSha256, QIODevice *form, QIODevice *output,
                    ContentCheck expected);
    QString errorString() const { return error; }

private:
    bool fail(const QString &text);
    bool startOutput(QIODevice *form, QIODevice *output);

    QString error;
};
