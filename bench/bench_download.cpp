// Downloads through the updater's own window, as an update run does, and reports the time taken.
//   bench_download one URL INSTALLDIR     one file; prints seconds and the peak resident memory
//   bench_download many URLLIST INSTALLDIR  every URL of the list, one after the other
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>
#include <cstdio>
#include <sys/resource.h>

#include "app/updaterenvironment.h"
#include "app/updatewindow.h"
#include "download/downloadnetworkmanager.h"

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4 || (args[1] != "one" && args[1] != "many")) {
        std::fprintf(stderr, "usage: bench_download one URL INSTALLDIR | many URLLIST INSTALLDIR\n");
        return 2;
    }
    QDir().mkpath(args[3] + "/updater");
    UpdaterEnvironment::setForTesting({args[3] + "/updater"});

    QStringList urls;
    if (args[1] == "one") {
        urls << args[2];
    } else {
        QFile list(args[2]);
        if (!list.open(QIODevice::ReadOnly | QIODevice::Text))
            return 2;
        urls = QString::fromUtf8(list.readAll()).split('\n', Qt::SkipEmptyParts);
    }

    updateWindow window;
    window.show();
    QElapsedTimer clock;
    clock.start();
    for (const QString &url : urls) {
        if (!window.downloadFile(url, window.makeTempFileName())) {
            std::fprintf(stderr, "%s: %s\n", qPrintable(url), qPrintable(window.downloadManager->errorString()));
            return 1;
        }
    }
    const double seconds = clock.nsecsElapsed() / 1e9;

    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("files %d\nseconds %.4f\nmaxrss_kib %ld\n", int(urls.size()), seconds, usage.ru_maxrss);
    return 0;
}
