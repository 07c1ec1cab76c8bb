// Writes and reads a version manifest of 100,000 entries and prints the best of three times
// in milliseconds, one "name value" pair a line, for bench_manifest.sh.
#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>

#include "manifest/versionmanifest.h"

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        fprintf(stderr, "usage: %s MANIFEST_FILE\n", argv[0]);
        return 2;
    }
    const QString path = QString::fromLocal8Bit(argv[1]);
    const int entries = 100000;

    VersionManifest manifest;
    for (int i = 0; i < entries; ++i) {
        const QString file = QString("bin/module%1/file%2.dll").arg(i % 300).arg(i);
        manifest.insert(file, VersionEntry(QString("%1.%2.%3").arg(i % 7).arg(i % 13).arg(i), file));
    }

    qint64 bestWrite = -1;
    qint64 bestRead = -1;
    for (int round = 0; round < 3; ++round) {
        QElapsedTimer clock;
        clock.start();
        Manifest::writeTextFile(Manifest::versionManifestToXml(manifest), path);
        const qint64 write = clock.nsecsElapsed();

        clock.restart();
        const VersionManifest back = Manifest::readVersionManifest(path);
        const qint64 read = clock.nsecsElapsed();
        if (back.size() != entries) {
            fprintf(stderr, "read %d entries back, expected %d\n", int(back.size()), entries);
            return 1;
        }
        bestWrite = bestWrite < 0 ? write : qMin(bestWrite, write);
        bestRead = bestRead < 0 ? read : qMin(bestRead, read);
    }
    printf("entries %d\nwrite_ms %.1f\nread_ms %.1f\n", entries, bestWrite / 1e6, bestRead / 1e6);
    return 0;
}
