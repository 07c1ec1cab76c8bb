#include "download/downloadpool.h"

#include <QFile>

DownloadPool::DownloadPool(QObject *parent)
    : QObject(parent)
{
}

void DownloadPool::setLimits(const DownloadNetworkManager::Limits &limits)
{
    this->limits = limits;
    for (auto &entry : downloads)
        entry.second.manager->setLimits(limits);
    for (DownloadNetworkManager *manager : idle)
        manager->setLimits(limits);
}

void DownloadPool::start(const QString &url, const QString &filePath)
{
    release(filePath); // one download per file
    DownloadNetworkManager *manager = nullptr;
    if (idle.isEmpty()) {
        manager = new DownloadNetworkManager(parent());
        connect(manager, qOverload<>(&DownloadNetworkManager::replyFinished), this, [this, manager] {
            const auto found = downloadOf(manager);
            if (found != downloads.end())
                found->second.finished = true;
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
    } else {
        manager = idle.takeLast(); // the one used last: one download at a time keeps one manager
    }
    manager->setLimits(limits);
    Download &download = downloads[filePath];
    download = Download();
    download.manager = manager;
    manager->startDownload(url, filePath);
    download.clock.start();
}

const DownloadPool::Download &DownloadPool::take(const QString &url, const QString &filePath)
{
    if (downloads.find(filePath) == downloads.end())
        start(url, filePath);
    const Download &download = downloads.at(filePath);
    taken = download.manager;
    return download;
}

void DownloadPool::release(const QString &filePath)
{
    const auto found = downloads.find(filePath);
    if (found == downloads.end())
        return;
    DownloadNetworkManager *manager = found->second.manager;
    manager->cancelDownload();
    downloads.erase(found);
    idle.append(manager);
}

void DownloadPool::abandonAll()
{
    while (!downloads.empty()) {
        const QString filePath = downloads.begin()->first;
        release(filePath);
        QFile::remove(filePath);
    }
}

std::map<QString, DownloadPool::Download>::iterator DownloadPool::downloadOf(const DownloadNetworkManager *manager)
{
    for (auto it = downloads.begin(); it != downloads.end(); ++it) {
        if (it->second.manager == manager)
            return it;
    }
    return downloads.end();
}
