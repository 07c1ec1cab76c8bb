#include "download/formdecoder.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileDevice>

#include "download/execpatchapplier.h"
#include "download/patchapplier.h"
#include "download/zstdreader.h"

namespace {

// Frames asking for a larger window would make the updater hold that much; the publisher's are smaller.
constexpr int maxWindowLog = 27;

} // namespace

bool FormDecoder::fail(const QString &text)
{
    error = text;
    return false;
}

bool FormDecoder::startOutput(QIODevice *form, QIODevice *output)
{
    auto *file = qobject_cast<QFileDevice *>(output);
    if (!form->seek(0) || !output->seek(0) || (file && !file->resize(0)))
        return fail(tr("the temporary files cannot be used: %1").arg(output->errorString()));
    return true;
}

bool FormDecoder::decompress(QIODevice *form, QIODevice *output, ContentCheck expected)
{
    if (!startOutput(form, output))
        return false;
    ZstdReader reader(form, maxWindowLog);
    QByteArray out(1 << 17, Qt::Uninitialized);
    qint64 made;
    while ((made = reader.read(out.data(), out.size())) > 0) {
        const QByteArray chunk = QByteArray::fromRawData(out.constData(), int(made));
        if (!expected.add(chunk))
            return fail(expected.errorString());
        if (output->write(chunk) != chunk.size())
            return fail(tr("the decompressed file cannot be written: %1").arg(output->errorString()));
    }
    const ZstdReader::Problem problem = reader.problem();
    if (problem == ZstdReader::None)
        return expected.finish() || fail(expected.errorString());
    return fail(problem == ZstdReader::NoMemory ? tr("no decompressor could be made")
                : problem == ZstdReader::Damaged ? tr("the compressed copy is corrupt: %1").arg(reader.detail())
                : problem == ZstdReader::CutShort ? tr("the compressed copy ends in the middle")
                                                  : tr("the compressed copy cannot be read: %1").arg(reader.detail()));
}

bool FormDecoder::applyPatch(const QString &basePath, const QByteArray &baseSha256, QIODevice *form, QIODevice *output,
                             ContentCheck expected)
{
    if (!startOutput(form, output))
        return false;
    QFile base(basePath);
    if (!base.open(QIODevice::ReadOnly))
        return fail(tr("the installed file cannot be read: %1").arg(base.errorString()));
    QByteArray baseBytes = base.readAll();
    // Checked again as read: the installed file may have changed since the patch was chosen.
    if (QCryptographicHash::hash(baseBytes, QCryptographicHash::Sha256) != baseSha256)
        return fail(tr("the installed file is not the one the patch applies to"));
    const QByteArray patch = form->readAll();
    if (ExecPatchApplier::isExecPatch(patch)) {
        // Rewritten in place: the installed copy is needed no more, and a copy would double the memory.
        ExecPatchApplier applier;
        if (!applier.apply(&baseBytes, patch, output, expected.listedSize()))
            return fail(applier.errorString());
    } else {
        PatchApplier applier;
        if (!applier.apply(baseBytes, patch, output, expected.listedSize()))
            return fail(applier.errorString());
    }
    // Read back rather than trusted: what is put in place must be the listed bytes.
    if (!output->seek(0))
        return fail(output->errorString());
    while (!output->atEnd()) {
        const QByteArray chunk = output->read(1 << 20);
        if (chunk.isEmpty() || !expected.add(chunk))
            return fail(chunk.isEmpty() ? output->errorString() : expected.errorString());
    }
    return expected.finish() || fail(expected.errorString());
}
