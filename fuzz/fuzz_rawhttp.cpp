// update-service as any client may meet it: whatever bytes arrive on a connection, framing and all,
// the service answers or closes within its bounds, stays up, and never sends a file from outside its
// release. Each input is one loopback connection, closed for writing once the bytes are sent.
#include "fuzz/fuzzedservice.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>

namespace {

// Polls one descriptor until the event or the deadline; false at the deadline. libFuzzer's timeout
// timer interrupts calls that wait, which then simply wait on.
bool waitFor(int fd, short events, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd descriptor{fd, events, 0};
        const int ready = left.count() > 0 ? poll(&descriptor, 1, int(left.count())) : 0;
        if (ready >= 0 || errno != EINTR)
            return ready > 0;
    }
}

// A connect that waits for room in the service's backlog may be interrupted; it completes on its own.
bool connectTo(int fd, const sockaddr_in &address)
{
    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0)
        return true;
    int error = errno;
    socklen_t length = sizeof error;
    return error == EINTR && waitFor(fd, POLLOUT, std::chrono::steady_clock::now() + std::chrono::seconds(7))
        && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

// Sends the bytes on a new connection, closes it for writing and returns what comes back until the
// service closes it or falls quiet: it answers a whole request at once, and may hold a partial one
// (or a kept-alive connection) until its deadline.
std::string exchange(int port, const uint8_t *data, size_t size)
{
    using namespace std::chrono;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || !connectTo(fd, address))
        std::abort(); // the service went down
    const auto sendDeadline = steady_clock::now() + seconds(7);
    for (size_t sent = 0; sent < size && waitFor(fd, POLLOUT, sendDeadline);) {
        const ssize_t now = send(fd, data + sent, size - sent, MSG_NOSIGNAL);
        if (now <= 0)
            break; // cut off part way: a bound of the service
        sent += size_t(now);
    }
    shutdown(fd, SHUT_WR);
    std::string reply;
    char buffer[4096];
    while (waitFor(fd, POLLIN, steady_clock::now() + milliseconds(reply.empty() ? 200 : 20))) {
        const ssize_t received = recv(fd, buffer, sizeof buffer, 0);
        if (received <= 0)
            break;
        reply.append(buffer, size_t(received));
    }
    close(fd);
    return reply;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const int port = FuzzedService::instance().port();
    const std::string reply = exchange(port, data, size);
    if (reply.find(FuzzedService::secret) != std::string::npos)
        std::abort();
    // Unanswered: the service must still answer others.
    static const std::string probe = "GET /files/a.txt HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    if (reply.empty() && exchange(port, reinterpret_cast<const uint8_t *>(probe.data()), probe.size()).rfind("HTTP/1.1 200 ", 0) != 0)
        std::abort();
    return 0;
}
