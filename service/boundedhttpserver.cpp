#include "service/boundedhttpserver.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

thread_local Clock::time_point currentRequestStart;

int millisecondsUntil(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

bool waitFor(socket_t sock, short events, int milliseconds)
{
    pollfd descriptor{sock, events, 0};
    int result;
    do {
        result = poll(&descriptor, 1, milliseconds);
    } while (result < 0 && errno == EINTR);
    return result > 0;
}

std::string numericAddress(const sockaddr_storage &address, socklen_t length, int *port)
{
    char host[NI_MAXHOST] = "";
    char service[NI_MAXSERV] = "";
    if (getnameinfo(reinterpret_cast<const sockaddr *>(&address), length, host, sizeof host, service,
                    sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return {};
    if (port)
        *port = std::atoi(service);
    return host;
}

std::string peerAddress(socket_t sock, int *port = nullptr)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    return getpeername(sock, reinterpret_cast<sockaddr *>(&address), &length) == 0
        ? numericAddress(address, length, port) : std::string();
}

// A socket whose reads stop at the request's deadline rather than at an idle gap, so a client that
// trickles a byte now and then cannot hold a worker. Reads are buffered: httplib reads the request
// line and headers one byte at a time.
class DeadlineStream : public httplib::Stream
{
public:
    DeadlineStream(socket_t sock, std::chrono::seconds writeTimeout)
        : sock(sock), writeTimeout(writeTimeout)
    {
    }

    void startRequest(Clock::time_point deadline) { readDeadline = deadline; }
    bool pastDeadline() const { return Clock::now() >= readDeadline; }

    bool is_readable() const override { return waitFor(sock, POLLIN, millisecondsUntil(readDeadline)); }
    bool is_writable() const override
    {
        return waitFor(sock, POLLOUT, int(std::chrono::milliseconds(writeTimeout).count()));
    }

    ssize_t read(char *ptr, size_t size) override
    {
        if (offset == filled) {
            if (!is_readable())
                return -1;
            ssize_t received;
            do {
                received = recv(sock, buffer, sizeof buffer, 0);
            } while (received < 0 && errno == EINTR);
            if (received <= 0)
                return received;
            offset = 0;
            filled = size_t(received);
        }
        const size_t length = std::min(size, filled - offset);
        std::memcpy(ptr, buffer + offset, length);
        offset += length;
        return ssize_t(length);
    }

    ssize_t write(const char *ptr, size_t size) override
    {
        if (!is_writable())
            return -1;
        ssize_t sent;
        do {
            sent = send(sock, ptr, size, MSG_NOSIGNAL);
        } while (sent < 0 && errno == EINTR);
        return sent;
    }

    void get_remote_ip_and_port(std::string &ip, int &port) const override { ip = peerAddress(sock, &port); }
    void get_local_ip_and_port(std::string &ip, int &port) const override
    {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (getsockname(sock, reinterpret_cast<sockaddr *>(&address), &length) == 0)
            ip = numericAddress(address, length, &port);
    }
    socket_t socket() const override { return sock; }

private:
    socket_t sock;
    std::chrono::seconds writeTimeout;
    Clock::time_point readDeadline;
    char buffer[4096];
    size_t offset = 0;
    size_t filled = 0;
};

void refuseConnection(socket_t sock)
{
    static const std::string body = "too many connections from this address\n";
    static const std::string reply = "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\n"
                                     "Content-Length: " + std::to_string(body.size())
        + "\r\nConnection: close\r\nRetry-After: 10\r\n\r\n" + body;
    if (send(sock, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0)
        return;
    // Closing with the client's request unread would reset the connection before it reads the 503.
    shutdown(sock, SHUT_WR);
    char discard[4096];
    if (waitFor(sock, POLLIN, 50))
        static_cast<void>(recv(sock, discard, sizeof discard, MSG_DONTWAIT));
}

} // namespace

BoundedHttpServer::BoundedHttpServer()
{
    new_task_queue = [] { return new httplib::ThreadPool(workerCount); };
    // httplib's default adds SO_REUSEPORT, with which a second service on the same port would
    // quietly share it; SO_REUSEADDR alone only allows a restart over connections in TIME_WAIT.
    set_socket_options([](socket_t sock) {
        const int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    set_keep_alive_max_count(100);
    set_keep_alive_timeout(5);
    set_write_timeout(30);
}

std::chrono::steady_clock::time_point BoundedHttpServer::requestStart()
{
    return currentRequestStart;
}

bool BoundedHttpServer::admit(const std::string &address)
{
    const std::lock_guard<std::mutex> lock(mutex);
    const auto held = connections.find(address);
    if (held != connections.end() && held->second >= maxPerAddress)
        return false;
    ++connections[address];
    return true;
}

void BoundedHttpServer::release(const std::string &address)
{
    const std::lock_guard<std::mutex> lock(mutex);
    if (--connections[address] <= 0)
        connections.erase(address);
}

// In place of httplib's own loop, which waits out its read timeout on every idle gap.
bool BoundedHttpServer::process_and_close_socket(socket_t sock)
{
    const std::string address = peerAddress(sock);
    bool ok = false;
    if (!admit(address)) {
        refuseConnection(sock);
        if (refusalLogger)
            refusalLogger(address);
    } else {
        DeadlineStream stream(sock, std::chrono::seconds(write_timeout_sec_));
        for (size_t left = keep_alive_max_count_; left > 0 && svr_sock_ != INVALID_SOCKET; --left) {
            if (!waitFor(sock, POLLIN, int(keep_alive_timeout_sec_ * 1000)))
                break;
            currentRequestStart = Clock::now();
            stream.startRequest(currentRequestStart + requestDeadline);
            bool closed = false;
            ok = process_request(stream, left == 1, closed, nullptr);
            // httplib answers a request cut short with 400 and would then keep the connection.
            if (!ok || closed || stream.pastDeadline())
                break;
        }
        release(address);
    }
    shutdown(sock, SHUT_RDWR);
    close(sock);
    return ok;
}
