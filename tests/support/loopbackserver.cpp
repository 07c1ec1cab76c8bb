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
    const auto dispatch = [this](const httplib::Request &request, httplib::Response &response) {
        Handler current;
        {
            std::lock_guard<std::mutex> lock(mutex);
            current = handler;
        }
        if (current)
            current(request, response);
        else
            response.status = 404;
    };
    server.Get(".*", dispatch);
    server.Post(".*", dispatch);
    boundPort = server.bind_to_any_port("127.0.0.1");
    thread = std::thread([this] { server.listen_after_bind(); });
    while (!server.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void LoopbackServer::setHandler(Handler handler)
{
    std::lock_guard<std::mutex> lock(mutex);
    this->handler = std::move(handler);
}

QString LoopbackServer::url(const QString &path) const
{
    return QString("http://127.0.0.1:%1%2").arg(boundPort).arg(path);
}
