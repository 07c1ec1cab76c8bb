#pragma once

#include <QString>
#include <httplib.h>
#include <thread>

// A real HTTP server on an ephemeral loopback port, for peers the tests need to misbehave.
// Register the handlers on http() first, then start().
class LoopbackServer
{
public:
    LoopbackServer() = default;
    ~LoopbackServer();

    httplib::Server &http() { return server; }
    void start();
    int port() const { return boundPort; }
    QString url(const QString &path = QString()) const;

private:
    httplib::Server server;
    std::thread thread;
    int boundPort = 0;
};
