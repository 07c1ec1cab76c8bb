// Makes a patch from OLD to NEW, applies it back and prints its size and the time of each step,
// one "name value" pair a line; for two executables the executable-aware form too. With a third
// argument the byte-level patch is also written there.
#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>

#include "download/execpatchapplier.h"
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

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3 && argc != 4) {
        fprintf(stderr, "usage: %s OLD NEW [PATCH_OUT]\n", argv[0]);
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
