#pragma once

#include <QString>
#include <functional>
#include <httplib.h>
#include <mutex>
#include <thread>

// A real HTTP server on an ephemeral loopback port, for peers the tests need to misbehave. Either
// register routes on http() before start(), or start it once and give each test its own handler.
class LoopbackServer
{
public:
    using Handler = std::function<void(const httplib::Request &, httplib::Response &)>;

    LoopbackServer() = default;
    ~LoopbackServer();

    httplib::Server &http() { return server; }
    void start();
    // Takes every GET and POST that no route registered before start() takes.
    void setHandler(Handler handler);
    int port() const { return boundPort; }
    QString url(const QString &path = QString()) const;

private:
    httplib::Server server;
    std::thread thread;
    int boundPort = 0;
    std::mutex mutex;
    Handler handler;
};
