#include "download/zstdreader.h"

#include <QIODevice>
#include <zstd.h>

ZstdReader::ZstdReader(QIODevice *source, int maxWindowLog)
    : context(ZSTD_createDCtx())
    , source(source)
{
    if (!source->isOpen())
        source->open(QIODevice::ReadOnly);
    if (context && ZSTD_isError(ZSTD_DCtx_setParameter(context, ZSTD_d_windowLogMax, maxWindowLog))) {
        ZSTD_freeDCtx(context);
        context = nullptr;
    }
}

ZstdReader::~ZstdReader()
{
    ZSTD_freeDCtx(context);
}

qint64 ZstdReader::fail(Problem problem, const QString &detail)
{
    trouble = problem;
    words = detail;
    return -1;
}

qint64 ZstdReader::read(char *into, qint64 size)
{
    if (!context)
        return fail(NoMemory);
    ZSTD_outBuffer out = {into, size_t(size), 0};
    while (out.pos < out.size) {
        if (consumed == input.size()) {
            input.resize(int(ZSTD_DStreamInSize()));
            const qint64 got = source->read(input.data(), input.size());
            if (got < 0)
                return fail(Unreadable, source->errorString());
            input.resize(int(got));
            consumed = 0;
            // Past the end of the last frame a call would wait for another one.
            if (got == 0 && pending == 0)
                break;
        }
        ZSTD_inBuffer in = {input.constData() + consumed, size_t(input.size() - consumed), 0};
        const size_t before = out.pos;
        const size_t result = ZSTD_decompressStream(context, &out, &in);
        if (ZSTD_isError(result))
            return fail(Damaged, QString::fromLatin1(ZSTD_getErrorName(result)));
        consumed += qint64(in.pos);
        pending = result;
        if (in.pos == 0 && out.pos == before)
            return fail(CutShort);
    }
    return qint64(out.pos);
}
