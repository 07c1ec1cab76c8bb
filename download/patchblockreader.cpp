#include "download/patchblockreader.h"

#include <zstd.h>

PatchBlockReader::PatchBlockReader(const char *data, qint64 size, const QString &name)
    : context(ZSTD_createDCtx()), data(data), size(size), name(name)
{
    if (context)
        ZSTD_DCtx_setParameter(context, ZSTD_d_windowLogMax, maxWindowLog);
}

PatchBlockReader::~PatchBlockReader()
{
    ZSTD_freeDCtx(context);
}

bool PatchBlockReader::decompress(char *into, qint64 wanted, qint64 *produced)
{
    *produced = 0;
    if (!context) {
        error = tr("out of memory while reading the patch");
        return false;
    }
    ZSTD_outBuffer out = {into, size_t(wanted), 0};
    while (out.pos < out.size) {
        if (consumed == size && pending == 0)
            break; // the block's last frame is done
        ZSTD_inBuffer in = {data + consumed, size_t(size - consumed), 0};
        const size_t before = out.pos;
        const size_t result = ZSTD_decompressStream(context, &out, &in);
        if (ZSTD_isError(result)) {
            error = tr("the patch's %1 block is damaged: %2").arg(name, QString::fromLatin1(ZSTD_getErrorName(result)));
            return false;
        }
        consumed += qint64(in.pos);
        pending = result;
        if (in.pos == 0 && out.pos == before) {
            error = tr("the patch's %1 block is cut short").arg(name);
            return false;
        }
    }
    *produced = qint64(out.pos);
    return true;
}

bool PatchBlockReader::read(char *into, qint64 wanted)
{
    qint64 produced = 0;
    if (!decompress(into, wanted, &produced))
        return false;
    if (produced < wanted) {
        error = tr("the patch's %1 block ends too soon").arg(name);
        return false;
    }
    return true;
}

bool PatchBlockReader::finish()
{
    char byte;
    qint64 produced = 0;
    if (!decompress(&byte, 1, &produced))
        return false;
    if (produced != 0) {
        error = tr("the patch's %1 block holds more than its control records use").arg(name);
        return false;
    }
    return true;
}
