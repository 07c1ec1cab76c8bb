#include "tests/support/loopbackserver.h"

#include <chrono>

LoopbackServer::~LoopbackServer()
{
    server.stop();
    if (thread.joinable())
        thread.join();
}

void LoopbackServer::start()
{
    boundPort = server.bind_to_any_port("127.0.0.1");
    thread = std::thread([this] { server.listen_after_bind(); });
    while (!server.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

QString LoopbackServer::url(const QString &path) const
{
    return QString("http://127.0.0.1:%1%2").arg(boundPort).arg(path);
}
