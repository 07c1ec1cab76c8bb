// Makes a patch from OLD to NEW, applies it back and prints its size and the time of each step,
// one "name value" pair a line; for two executables the executable-aware form too. With a third
// argument the byte-level patch is also written there. With --apply, applies one kept FORM of
// either kind to OLD as the updater does, from the files to a file, and prints its time and the
// process's peak memory: one form a process, so that each peak is its own.
#include <QBuffer>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryFile>

#include <cstdio>

#include "download/execpatchapplier.h"
#include "download/formdecoder.h"
#include "download/patchapplier.h"
#include "service/execpatchmaker.h"
#include "service/patchmaker.h"

static bool readAll(const char *path, QByteArray *into)
{
    QFile file(QString::fromLocal8Bit(path));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    *into = file.readAll();
    return true;
}

static QByteArray digestOf(const char *path)
{
    QFile file(QString::fromLocal8Bit(path));
    QCryptographicHash hash(QCryptographicHash::Sha256);
    return file.open(QIODevice::ReadOnly) && hash.addData(&file) ? hash.result() : QByteArray();
}

static long long peakKibibytes()
{
    long long kibibytes = -1;
    if (std::FILE *file = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (kibibytes < 0 && std::fgets(line, sizeof line, file))
            std::sscanf(line, "VmHWM: %lld kB", &kibibytes);
        std::fclose(file);
    }
    return kibibytes;
}

// The digests are taken first, streamed: the updater knows both from the listing.
static int applyKept(const char *oldPath, const char *formPath, const char *newPath)
{
    const QByteArray oldSha256 = digestOf(oldPath), newSha256 = digestOf(newPath);
    QFile form(QString::fromLocal8Bit(formPath));
    QTemporaryFile result;
    if (oldSha256.isEmpty() || newSha256.isEmpty() || !form.open(QIODevice::ReadOnly) || !result.open()) {
        fprintf(stderr, "cannot read the files\n");
        return 1;
    }
    QElapsedTimer clock;
    clock.start();
    FormDecoder decoder;
    if (!decoder.applyPatch(QString::fromLocal8Bit(oldPath), oldSha256, &form, &result,
                            ContentCheck(QFile(QString::fromLocal8Bit(newPath)).size(), newSha256))) {
        fprintf(stderr, "apply: %s\n", qPrintable(decoder.errorString()));
        return 1;
    }
    printf("apply_ms %lld\npeak_kib %lld\n", clock.elapsed(), peakKibibytes());
    return 0;
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 5 && qstrcmp(argv[1], "--apply") == 0)
        return applyKept(argv[2], argv[3], argv[4]);
    if (argc != 3 && argc != 4) {
        fprintf(stderr, "usage: %s OLD NEW [PATCH_OUT]\n       %s --apply OLD FORM NEW\n", argv[0], argv[0]);
        return 2;
    }
    QByteArray oldBytes;
    QByteArray newBytes;
    if (!readAll(argv[1], &oldBytes) || !readAll(argv[2], &newBytes)) {
        fprintf(stderr, "cannot read the files\n");
        return 1;
    }

    QElapsedTimer clock;
    clock.start();
    QByteArray patch;
    PatchMaker maker;
    if (!maker.make(oldBytes, newBytes, &patch)) {
        fprintf(stderr, "make: %s\n", qPrintable(maker.errorString()));
        return 1;
    }
    const qint64 makeMs = clock.elapsed();

    clock.restart();
    QByteArray rebuilt;
    QBuffer output(&rebuilt);
    output.open(QIODevice::WriteOnly);
    PatchApplier applier;
    if (!applier.apply(oldBytes, patch, &output, newBytes.size())) {
        fprintf(stderr, "apply: %s\n", qPrintable(applier.errorString()));
        return 1;
    }
    const qint64 applyMs = clock.elapsed();
    if (rebuilt != newBytes) {
        fprintf(stderr, "apply: the result differs from NEW\n");
        return 1;
    }
    if (argc == 4) {
        QFile out(QString::fromLocal8Bit(argv[3]));
        if (!out.open(QIODevice::WriteOnly) || out.write(patch) != patch.size()) {
            fprintf(stderr, "cannot write the patch\n");
            return 1;
        }
    }
    printf("old_bytes %d\nnew_bytes %d\npatch_bytes %d\nmake_ms %lld\napply_ms %lld\n", oldBytes.size(),
           newBytes.size(), patch.size(), makeMs, applyMs);

    clock.restart();
    ExecPatchMaker executableMaker;
    if (!executableMaker.make(oldBytes, newBytes, &patch)) {
        printf("executable_patch none: %s\n", qPrintable(executableMaker.errorString()));
        return 0;
    }
    const qint64 executableMakeMs = clock.elapsed();
    clock.restart();
    rebuilt.clear();
    output.seek(0);
    ExecPatchApplier executableApplier;
    if (!executableApplier.apply(&oldBytes, patch, &output, newBytes.size())) {
        fprintf(stderr, "executable apply: %s\n", qPrintable(executableApplier.errorString()));
        return 1;
    }
    const qint64 executableApplyMs = clock.elapsed();
    if (rebuilt != newBytes) {
        fprintf(stderr, "executable apply: the result differs from NEW\n");
        return 1;
    }
    printf("executable_patch_bytes %d\nexecutable_make_ms %lld\nexecutable_apply_ms %lld\n", patch.size(),
           executableMakeMs, executableApplyMs);
    return 0;
}
