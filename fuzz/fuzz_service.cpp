// update-service as the updater's peers meet it: over HTTP on loopback. The first byte picks the
// request (even: the upgrade query with the rest as its body; odd: a file download with the rest as
// its path); whatever comes, the service answers, and never with a file from outside its release.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QUrl>
#include <cstdlib>
#include <memory>
#include <thread>

#include "service/releasefolder.h"
#include "service/servicekeypair.h"
#include "service/updateserver.h"

namespace {

const char secret[] = "outside the release";

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Made once and kept until the process ends, as the server thread runs until then.
struct Service
{
    QTemporaryDir dir;
    std::unique_ptr<UpdateServer> server;
    std::unique_ptr<httplib::Client> client;
};

Service *startService()
{
    auto *service = new Service;
    const QString release = service->dir.filePath("release");
    QString error;
    ReleaseFolder::Publication publication;
    QFile key(QStringLiteral(SERVICE_KEY_FILE));
    if (!QDir().mkpath(release + "/data") || !writeFile(release + "/a.txt", "release file\n")
        || !writeFile(release + "/data/b.bin", "b") || !writeFile(service->dir.filePath("secret.txt"), secret)
        || !ReleaseFolder(release).publish("1.0.0", nullptr, 30, false, {}, &publication, &error) || !key.open(QIODevice::ReadOnly))
        std::abort();
    service->server = std::make_unique<UpdateServer>(
        release, ServiceKeyPair::fromPrivateKeyDer(key.readAll().toStdString()));
    const int port = service->server->bind("127.0.0.1", 0);
    if (port <= 0)
        std::abort();
    std::thread([server = service->server.get()] { server->listen(); }).detach();
    service->client = std::make_unique<httplib::Client>("127.0.0.1", port);
    service->client->set_keep_alive(true);
    service->client->set_tcp_nodelay(true); // else each request waits for a delayed acknowledgement
    return service;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Service *const service = startService();
    httplib::Client *const client = service->client.get();
    if (size == 0)
        return 0;
    const std::string rest(reinterpret_cast<const char *>(data) + 1, size - 1);
    httplib::Result result = data[0] % 2 == 0
        ? client->Post("/api/upgrade", rest, "application/json")
        // Encoded, so that every input is one well-formed request line.
        : client->Get(("/files/" + QUrl::toPercentEncoding(QString::fromStdString(rest), "/")).toStdString());
    if (!result || result->body.find(secret) != std::string::npos)
        std::abort();
    return 0;
}
