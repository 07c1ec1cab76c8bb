#pragma once

#include <httplib.h>

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>

// An httplib server that slow or greedy clients cannot stall: a pool of workers, a deadline for
// reading each whole request, bounded keep-alive, and at most a few connections per client
// address (the rest are answered 503 at once, before a worker waits on them). It also refuses to
// share its port with another process.
class BoundedHttpServer : public httplib::Server
{
public:
    // More than eight addresses' worth of slow clients at the bound, with workers to spare.
    static constexpr int workerCount = 128;
    static constexpr int defaultMaxPerAddress = 8;
    // A request is a few hundred bytes; a client that has not sent it whole by then is cut off.
    static constexpr std::chrono::seconds requestDeadline{5};

    BoundedHttpServer();

    void setMaxConnectionsPerAddress(int count) { maxPerAddress = count; }
    // Told the address of every connection refused for being over the bound.
    void setRefusalLogger(std::function<void(const std::string &address)> logger) { refusalLogger = logger; }

    // When the request being handled on the calling worker began to arrive.
    static std::chrono::steady_clock::time_point requestStart();

private:
    bool process_and_close_socket(socket_t sock) override;
    bool admit(const std::string &address);
    void release(const std::string &address);

    int maxPerAddress = defaultMaxPerAddress;
    std::function<void(const std::string &)> refusalLogger;
    std::mutex mutex;
    std::map<std::string, int> connections; // per address, only those with at least one
};
