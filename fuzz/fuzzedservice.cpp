#include "fuzz/fuzzedservice.h"

#include "service/releasefolder.h"
#include "service/servicekeypair.h"

#include <QDir>
#include <QFile>
#include <cstdlib>
#include <thread>

namespace {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

FuzzedService &FuzzedService::instance()
{
    static FuzzedService *const service = new FuzzedService;
    return *service;
}

FuzzedService::FuzzedService()
{
    const QString release = dir.filePath("release");
    QString error;
    ReleaseFolder::Publication publication;
    QFile key(QStringLiteral(SERVICE_KEY_FILE));
    if (!QDir().mkpath(release + "/data") || !writeFile(release + "/a.txt", "release file\n")
        || !writeFile(release + "/data/b.bin", "b") || !writeFile(dir.filePath("secret.txt"), secret)
        || !ReleaseFolder(release).publish("1.0.0", {}, 0, 0, 30, false, {}, &publication, &error) || !key.open(QIODevice::ReadOnly))
        std::abort();
    server = std::make_unique<UpdateServer>(release, ServiceKeyPair::fromPrivateKeyDer(key.readAll().toStdString()));
    // Connections the service holds until their deadline must not make it turn the next inputs away.
    server->setMaxConnectionsPerAddress(BoundedHttpServer::maxConnections);
    boundPort = server->bind("127.0.0.1", 0);
    if (boundPort <= 0)
        std::abort();
    std::thread([server = server.get()] { server->listen(); }).detach();
}
