#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <QVector>
#include <limits>
#include <map>

#include "download/downloadnetworkmanager.h"

// Downloads that run side by side, each on a manager of its own, and are taken up one at a time
// in the caller's order. A download finished before its turn keeps its outcome until then.
// Managers are kept and reused; they are children of the pool's parent.
class DownloadPool : public QObject
{
    Q_OBJECT

public:
    struct Download
    {
        DownloadNetworkManager *manager = nullptr;
        QElapsedTimer clock; // started with the request
        bool finished = false;
        bool reported = false; // whether received and total hold a progress report
        qint64 received = 0;
        qint64 total = -1;
        int handle = -1; // the open file it writes, when it was given one
    };

    explicit DownloadPool(QObject *parent);

    // Held by every manager from now on, the running ones included.
    void setLimits(const DownloadNetworkManager::Limits &limits);
    // At most this many run at once. One started beyond waits, in its order, until a download ends
    // (it then goes out at once, while the caller still deals with that one) or it is taken; none
    // goes out while a failed download is not yet released.
    void setMaxRunning(int count) { maxRunning = qMax(1, count); }
    // handle: the open file to write (see DownloadNetworkManager::startDownload); -1: by path.
    void start(const QString &url, const QString &filePath, const ContentCheck &check = ContentCheck(), int handle = -1);
    // Makes filePath's download the one whose progress is reported, starting it now unless it
    // was started before (one waiting included).
    const Download &take(const QString &url, const QString &filePath, const ContentCheck &check = ContentCheck(),
                         int handle = -1);
    // Done with filePath's download: one still running is cancelled, and its manager is free.
    void release(const QString &filePath);
    // Cancels every download not released yet and removes its file; one given by handle is left
    // to its owner. Returns the files' paths.
    QStringList abandonAll();

    // Whether a file finished before its turn is synced at once, ready for a rename that must
    // follow its sync; where the caller makes all files durable together, each sync only costs.
    void setSyncAhead(bool on) { syncingAhead = on; }
    // Returns once the syncs begun ahead have ended: their handles are closed then.
    void waitForSyncs() { syncs.waitForDone(); }

signals:
    // Progress of the download taken last.
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    // The download taken last waits to try again.
    void retrying(int waitMs, int nextAttempt, int maxAttempts, const QString &reason);

private:
    struct Waiting
    {
        QString url;
        QString filePath;
        ContentCheck check;
        int handle;
    };
    void launch(const QString &url, const QString &filePath, const ContentCheck &check, int handle);
    void launchWaiting();
    std::map<QString, Download>::iterator downloadOf(const DownloadNetworkManager *manager);
    void syncAhead(const QString &filePath, int handle);

    DownloadNetworkManager::Limits limits;
    QVector<DownloadNetworkManager *> idle;
    std::map<QString, Download> downloads; // by file; references stay valid while others come and go
    const DownloadNetworkManager *taken = nullptr;
    int maxRunning = std::numeric_limits<int>::max();
    QList<Waiting> waiting; // started beyond maxRunning, in their order
    bool syncingAhead = true;
    QThreadPool syncs; // declared last: its threads are waited for first
};
