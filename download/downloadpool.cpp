#include "download/downloadpool.h"

#include <QFile>
#include <QNetworkReply>

#include <utility>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <unistd.h>
#endif

DownloadPool::DownloadPool(QObject *parent)
    : QObject(parent)
{
    syncs.setMaxThreadCount(8); // they wait on the disk, not on a processor
}

void DownloadPool::setLimits(const DownloadNetworkManager::Limits &limits)
{
    this->limits = limits;
    for (auto &entry : downloads)
        entry.second.manager->setLimits(limits);
    for (DownloadNetworkManager *manager : idle)
        manager->setLimits(limits);
}

void DownloadPool::start(const QString &url, const QString &filePath, const ContentCheck &check, int handle)
{
    release(filePath); // one download per file
    waiting.append({url, filePath, check, handle}); // none overtakes one waiting
    launchWaiting();
}

void DownloadPool::launch(const QString &url, const QString &filePath, const ContentCheck &check, int handle)
{
    DownloadNetworkManager *manager = nullptr;
    if (idle.isEmpty()) {
        manager = new DownloadNetworkManager(parent());
        connect(manager, qOverload<>(&DownloadNetworkManager::replyFinished), this, [this, manager] {
            const auto found = downloadOf(manager);
            if (found == downloads.end())
                return;
            found->second.finished = true;
            launchWaiting();
            if (syncingAhead && manager != taken && manager->errorCode() == QNetworkReply::NoError)
                syncAhead(found->first, found->second.handle);
        });
        connect(manager, &DownloadNetworkManager::downloadProgress, this,
                [this, manager](qint64 received, qint64 total) {
                    const auto found = downloadOf(manager);
                    if (found != downloads.end()) {
                        found->second.reported = true;
                        found->second.received = received;
                        found->second.total = total;
                    }
                    if (manager == taken)
                        emit downloadProgress(received, total);
                });
        connect(manager, &DownloadNetworkManager::retrying, this,
                [this, manager](int waitMs, int nextAttempt, int maxAttempts, const QString &reason) {
                    if (manager == taken)
                        emit retrying(waitMs, nextAttempt, maxAttempts, reason);
                });
    } else {
        manager = idle.takeLast(); // the one used last: one download at a time keeps two managers
    }
    manager->setLimits(limits);
    Download &download = downloads[filePath];
    download = Download();
    download.manager = manager;
    download.handle = handle;
    manager->startDownload(url, filePath, check, handle);
    download.clock.start();
}

const DownloadPool::Download &DownloadPool::take(const QString &url, const QString &filePath,
                                                const ContentCheck &check, int handle)
{
    if (downloads.find(filePath) == downloads.end()) {
        release(filePath); // no longer waiting
        launch(url, filePath, check, handle);
    }
    const Download &download = downloads.at(filePath);
    taken = download.manager;
    return download;
}

void DownloadPool::launchWaiting()
{
    int running = 0;
    for (const auto &entry : downloads) {
        // A failure may end the run: nothing more is asked for until it has had its turn.
        if (entry.second.finished && entry.second.manager->errorCode() != QNetworkReply::NoError)
            return;
        running += entry.second.finished ? 0 : 1;
    }
    if (running < maxRunning && !waiting.isEmpty()) {
        const Waiting next = waiting.takeFirst();
        launch(next.url, next.filePath, next.check, next.handle);
    }
}

void DownloadPool::release(const QString &filePath)
{
    for (int i = 0; i < waiting.size(); ++i) {
        if (waiting.at(i).filePath == filePath)
            waiting.removeAt(i--);
    }
    const auto found = downloads.find(filePath);
    if (found == downloads.end())
        return;
    DownloadNetworkManager *manager = found->second.manager;
    manager->cancelDownload();
    downloads.erase(found);
    idle.append(manager);
}

QStringList DownloadPool::abandonAll()
{
    QStringList abandoned;
    for (const Waiting &next : std::exchange(waiting, {})) {
        if (next.handle < 0)
            QFile::remove(next.filePath);
        abandoned << next.filePath;
    }
    while (!downloads.empty()) {
        const QString filePath = downloads.begin()->first;
        const bool byPath = downloads.begin()->second.handle < 0;
        release(filePath);
        if (byPath)
            QFile::remove(filePath);
        abandoned << filePath;
    }
    return abandoned;
}

// The sync that must precede the file's rename, begun now on a thread of its own: syncs that run
// side by side share the disk's flushes, and the one at the file's turn then finds nothing to do.
// Its outcome does not matter here. A file given by handle is synced through a copy of the handle,
// one named by path through its name (it may even be gone by the time this runs).
void DownloadPool::syncAhead(const QString &filePath, int handle)
{
#ifndef Q_OS_WIN
    const int copy = handle >= 0 ? ::fcntl(handle, F_DUPFD_CLOEXEC, 0) : -1;
    const QByteArray name = QFile::encodeName(filePath);
    const bool byPath = handle < 0;
    syncs.start([copy, name, byPath] {
        const int fd = byPath ? ::open(name.constData(), O_RDONLY | O_CLOEXEC) : copy;
        if (fd >= 0) {
            ::fsync(fd);
            ::close(fd);
        }
    });
#else
    Q_UNUSED(filePath);
    Q_UNUSED(handle);
#endif
}

std::map<QString, DownloadPool::Download>::iterator DownloadPool::downloadOf(const DownloadNetworkManager *manager)
{
    for (auto it = downloads.begin(); it != downloads.end(); ++it) {
        if (it->second.manager == manager)
            return it;
    }
    return downloads.end();
}
