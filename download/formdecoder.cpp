#include "download/formdecoder.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileDevice>
#include <memory>
#include <zstd.h>

#include "download/patchapplier.h"

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
    const std::unique_ptr<ZSTD_DCtx, size_t (*)(ZSTD_DCtx *)> stream(ZSTD_createDCtx(), ZSTD_freeDCtx);
    if (!stream || ZSTD_isError(ZSTD_DCtx_setParameter(stream.get(), ZSTD_d_windowLogMax, maxWindowLog)))
        return fail(tr("no decompressor could be made"));
    QByteArray in(int(ZSTD_DStreamInSize()), Qt::Uninitialized);
    QByteArray out(int(ZSTD_DStreamOutSize()), Qt::Uninitialized);
    size_t pending = 0; // nonzero: the last frame is not complete
    qint64 read;
    while ((read = form->read(in.data(), in.size())) > 0) {
        ZSTD_inBuffer input{in.constData(), size_t(read), 0};
        ZSTD_outBuffer produced{out.data(), size_t(out.size()), 0};
        do {
            produced.pos = 0;
            pending = ZSTD_decompressStream(stream.get(), &produced, &input);
            if (ZSTD_isError(pending))
                return fail(tr("the compressed copy is corrupt: %1").arg(QString::fromLatin1(ZSTD_getErrorName(pending))));
            const QByteArray chunk = QByteArray::fromRawData(out.constData(), int(produced.pos));
            if (!expected.add(chunk))
                return fail(expected.errorString());
            if (output->write(chunk) != chunk.size())
                return fail(tr("the decompressed file cannot be written: %1").arg(output->errorString()));
            // A full buffer may hold more to flush, unless the frame just ended: a call after its end
            // would wait for another frame and leave the whole copy reading as cut short.
        } while (input.pos < input.size || (produced.pos == produced.size && pending != 0));
    }
    if (read < 0)
        return fail(tr("the compressed copy cannot be read: %1").arg(form->errorString()));
    if (pending != 0)
        return fail(tr("the compressed copy ends in the middle"));
    return expected.finish() || fail(expected.errorString());
}

bool FormDecoder::applyPatch(const QString &basePath, const QByteArray &baseSha256, QIODevice *form, QIODevice *output,
                             ContentCheck expected)
{
    if (!startOutput(form, output))
        return false;
    QFile base(basePath);
    if (!base.open(QIODevice::ReadOnly))
        return fail(tr("the installed file cannot be read: %1").arg(base.errorString()));
    const QByteArray baseBytes = base.readAll();
    // Checked again as read: the installed file may have changed since the patch was chosen.
    if (QCryptographicHash::hash(baseBytes, QCryptographicHash::Sha256) != baseSha256)
        return fail(tr("the installed file is not the one the patch applies to"));
    const QByteArray patch = form->readAll();
    PatchApplier applier;
    if (!applier.apply(baseBytes, patch, output, expected.listedSize()))
        return fail(applier.errorString());
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
