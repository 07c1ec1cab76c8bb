#include "service/boundedhttpserver.h"

#include <microhttpd.h>

#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

thread_local Clock::time_point currentRequestStart;

// Each loop thread serves many connections; more threads only help the handlers' own work.
constexpr unsigned int loopThreads = 4;
// Room for the request's headers (held to maxHeaderBytes), a read buffer and the reply's headers.
constexpr size_t connectionMemory = 16 * 1024;
// A reader that takes no byte of an answer for this long is let go.
constexpr unsigned int writeTimeoutSeconds = 30;
// A connection over its address's bound stays only long enough to take its 503.
constexpr std::chrono::seconds refusedLinger{1};

std::string numericAddress(const sockaddr *address, socklen_t length)
{
    char host[NI_MAXHOST] = "";
    if (!address || getnameinfo(address, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
        return {};
    return host;
}

void refuseConnection(int fd)
{
    static const std::string body = "too many connections from this address\n";
    static const std::string reply = "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\n"
                                     "Content-Length: " + std::to_string(body.size())
        + "\r\nConnection: close\r\nRetry-After: 10\r\n\r\n" + body;
    // Only our half is closed: the client's request is still read, so the close does not reset
    // the connection before the client has read the 503.
    if (send(fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT) >= 0)
        shutdown(fd, SHUT_WR);
}

// The span of a "Range: bytes=..." header over a file of `size` bytes. False when it is not one
// span we understand (the whole file is sent then); `satisfiable` false when it lies past the end.
bool parseRange(const std::string &header, uint64_t size, uint64_t *offset, uint64_t *length, bool *satisfiable)
{
    static const std::regex span("bytes=(\\d*)-(\\d*)");
    std::smatch parts;
    if (!std::regex_match(header, parts, span) || (parts[1].length() == 0 && parts[2].length() == 0)
        || parts[1].length() > 18 || parts[2].length() > 18)
        return false;
    *satisfiable = true;
    if (parts[1].length() == 0) { // the last N bytes
        const uint64_t last = std::stoull(parts[2]);
        if (last == 0 || size == 0) {
            *satisfiable = false;
            return false;
        }
        *length = std::min(last, size);
        *offset = size - *length;
        return true;
    }
    const uint64_t first = std::stoull(parts[1]);
    if (first >= size) {
        *satisfiable = false;
        return false;
    }
    uint64_t end = parts[2].length() == 0 ? size - 1 : std::stoull(parts[2]);
    if (end < first)
        return false;
    end = std::min(end, size - 1);
    *offset = first;
    *length = end - first + 1;
    return true;
}

// An IMF-fixdate, as HTTP writes times; not strftime, whose names follow the locale.
std::string httpDate(time_t time)
{
    static const char *const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    tm parts{};
    if (!gmtime_r(&time, &parts))
        return {};
    char text[40];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[parts.tm_wday], parts.tm_mday,
                  months[parts.tm_mon], parts.tm_year + 1900, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return text;
}

// Whether the copy an If-Range names is the file about to be sent: a strong ETag equal to ours, or
// exactly our Last-Modified. A weak tag never is, since a range of other bytes would corrupt the copy.
bool sameCopy(const std::string &ifRange, const httplib::Response &response)
{
    if (ifRange.empty() || ifRange.rfind("W/", 0) == 0)
        return false;
    const std::string etag = response.get_header_value("ETag");
    if (ifRange.front() == '"')
        return !etag.empty() && etag.rfind("W/", 0) != 0 && ifRange == etag;
    return ifRange == response.get_header_value("Last-Modified");
}

} // namespace

struct BoundedHttpServer::Connection
{
    int fd = -1;
    std::string address;
    Clock::time_point deadline;
    bool refused = false;
    bool answering = false; // a reply is on its way: the write timeout holds it, not the deadline
    bool cut = false;
};

struct BoundedHttpServer::Exchange
{
    httplib::Request request;
    Connection *connection = nullptr;
    Clock::time_point start;
    const PostRoute *route = nullptr;
    bool answered = false;
};

struct BoundedHttpServer::Callbacks
{
    static MHD_Result answer(void *self, MHD_Connection *connection, const char *url, const char *method,
                             const char *version, const char *upload, size_t *uploadSize, void **context)
    {
        auto *server = static_cast<BoundedHttpServer *>(self);
        auto *exchange = static_cast<Exchange *>(*context);
        if (!exchange) {
            exchange = new Exchange;
            *context = exchange;
            exchange->request.method = method;
            exchange->request.path = url;
            exchange->request.version = version;
            return server->begin(connection, exchange) ? MHD_YES : MHD_NO;
        }
        if (exchange->answered) { // refused early; what still arrives is dropped
            *uploadSize = 0;
            return MHD_YES;
        }
        if (*uploadSize > 0) {
            const size_t piece = *uploadSize;
            *uploadSize = 0;
            if (exchange->request.body.size() + piece > server->maxBody) {
                httplib::Response response;
                response.status = 413;
                return server->respond(connection, exchange, response, -1) ? MHD_YES : MHD_NO;
            }
            exchange->request.body.append(upload, piece);
            return MHD_YES;
        }
        return server->finish(connection, exchange) ? MHD_YES : MHD_NO;
    }

    static void completed(void *self, MHD_Connection *, void **context, MHD_RequestTerminationCode)
    {
        auto *exchange = static_cast<Exchange *>(*context);
        *context = nullptr;
        if (!exchange)
            return;
        if (!exchange->connection) {
            delete exchange;
            return;
        }
        auto *server = static_cast<BoundedHttpServer *>(self);
        {
            const std::lock_guard<std::mutex> lock(server->mutex);
            exchange->connection->answering = false;
            exchange->connection->deadline = Clock::now() + requestDeadline;
        }
        delete exchange;
    }

    static void notify(void *self, MHD_Connection *connection, void **context, MHD_ConnectionNotificationCode event)
    {
        auto *server = static_cast<BoundedHttpServer *>(self);
        if (event == MHD_CONNECTION_NOTIFY_STARTED)
            server->opened(connection, context);
        else
            server->closed(static_cast<Connection *>(*context));
    }

    static MHD_Result collectHeader(void *headers, MHD_ValueKind, const char *key, const char *value)
    {
        static_cast<httplib::Headers *>(headers)->emplace(key, value ? value : "");
        return MHD_YES;
    }
    static MHD_Result collectArgument(void *params, MHD_ValueKind, const char *key, const char *value)
    {
        static_cast<httplib::Params *>(params)->emplace(key, value ? value : "");
        return MHD_YES;
    }
};

BoundedHttpServer::BoundedHttpServer() = default;

BoundedHttpServer::~BoundedHttpServer()
{
    if (daemon)
        MHD_stop_daemon(daemon);
    if (listenSocket >= 0)
        close(listenSocket);
}

void BoundedHttpServer::post(const std::string &pattern, Handler handler)
{
    postRoutes.push_back({std::regex(pattern), std::move(handler)});
}

void BoundedHttpServer::getFile(const std::string &pattern, FileHandler handler)
{
    fileRoutes.push_back({std::regex(pattern), std::move(handler)});
}

std::chrono::steady_clock::time_point BoundedHttpServer::requestStart()
{
    return currentRequestStart;
}

int BoundedHttpServer::bind(const std::string &host, int port)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo *found = nullptr;
    errno = 0;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
        return -1;
    int bound = -1;
    for (addrinfo *candidate = found; candidate && bound < 0; candidate = candidate->ai_next) {
        const int fd = socket(candidate->ai_family, candidate->ai_socktype | SOCK_CLOEXEC, candidate->ai_protocol);
        if (fd < 0)
            continue;
        // SO_REUSEADDR alone only allows a restart over connections in TIME_WAIT; with SO_REUSEPORT
        // a second service on the same port would quietly share it.
        const int yes = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (::bind(fd, candidate->ai_addr, candidate->ai_addrlen) != 0 || ::listen(fd, SOMAXCONN) != 0
            || getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
            const int reason = errno;
            close(fd);
            errno = reason;
            continue;
        }
        listenSocket = fd;
        bound = ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&address)->sin6_port
                                                    : reinterpret_cast<sockaddr_in *>(&address)->sin_port);
    }
    freeaddrinfo(found);
    return bound;
}

bool BoundedHttpServer::listen()
{
    // A hard bound behind our own, for clients that keep opening connections after their 503.
    const unsigned int hardPerAddress = unsigned(std::min(4 * maxPerAddress, maxConnections));
    daemon = MHD_start_daemon(
        MHD_USE_EPOLL_INTERNAL_THREAD, 0, nullptr, nullptr, &Callbacks::answer, this,
        MHD_OPTION_LISTEN_SOCKET, listenSocket,
        MHD_OPTION_THREAD_POOL_SIZE, loopThreads,
        MHD_OPTION_CONNECTION_LIMIT, unsigned(maxConnections),
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, hardPerAddress,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, connectionMemory,
        MHD_OPTION_CONNECTION_TIMEOUT, writeTimeoutSeconds,
        MHD_OPTION_NOTIFY_COMPLETED, &Callbacks::completed, this,
        MHD_OPTION_NOTIFY_CONNECTION, &Callbacks::notify, this,
        MHD_OPTION_END);
    if (!daemon)
        return false;
    // The library times out idle gaps only; a client that trickles a byte now and then is cut off
    // here, at its request's deadline.
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        cutOffLateRequests();
    }
}

void BoundedHttpServer::opened(MHD_Connection *connection, void **context)
{
    auto *state = new Connection;
    *context = state;
    state->fd = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD)->connect_fd;
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getpeername(state->fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        state->address = numericAddress(reinterpret_cast<sockaddr *>(&address), length);
    {
        const std::lock_guard<std::mutex> lock(mutex);
        const auto held = perAddress.find(state->address);
        state->refused = held != perAddress.end() && held->second >= maxPerAddress;
        state->deadline = Clock::now() + (state->refused ? std::chrono::seconds(refusedLinger) : requestDeadline);
        if (!state->refused)
            ++perAddress[state->address];
        open.insert(state);
    }
    if (state->refused) {
        refuseConnection(state->fd);
        if (refusalLogger)
            refusalLogger(state->address);
    }
}

void BoundedHttpServer::closed(Connection *state)
{
    if (!state)
        return;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        open.erase(state);
        if (!state->refused && --perAddress[state->address] <= 0)
            perAddress.erase(state->address);
    }
    delete state;
}

void BoundedHttpServer::cutOffLateRequests()
{
    const auto now = Clock::now();
    const std::lock_guard<std::mutex> lock(mutex);
    // The library closes the socket only after telling us, so every descriptor here is still its own.
    for (Connection *state : open) {
        if (!state->answering && !state->cut && now >= state->deadline) {
            shutdown(state->fd, SHUT_RDWR);
            state->cut = true;
        }
    }
}

bool BoundedHttpServer::begin(MHD_Connection *connection, Exchange *exchange)
{
    exchange->connection = static_cast<Connection *>(
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT)->socket_context);
    if (!exchange->connection || exchange->connection->refused)
        return false;
    exchange->start = Clock::now();
    httplib::Request &request = exchange->request;
    request.remote_addr = exchange->connection->address;
    MHD_get_connection_values(connection, MHD_HEADER_KIND, &Callbacks::collectHeader, &request.headers);
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &Callbacks::collectArgument, &request.params);

    httplib::Response response;
    const MHD_ConnectionInfo *headerSize = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE);
    if (headerSize && headerSize->header_size > maxHeaderBytes) {
        response.status = 431;
        return respond(connection, exchange, response, -1);
    }
    if (request.method == "POST") {
        for (const PostRoute &route : postRoutes) {
            if (std::regex_match(request.path, request.matches, route.pattern))
                exchange->route = &route;
        }
    } else if (request.method == "GET" || request.method == "HEAD") {
        for (const FileRoute &route : fileRoutes) {
            if (std::regex_match(request.path, route.pattern))
                return true; // answered once the request has arrived whole
        }
    }
    // What no route takes is answered now, its body never read.
    if (!exchange->route) {
        response.status = 404;
        return respond(connection, exchange, response, -1);
    }
    // Only a plain number counts; the library refuses any other, and the body is held as it comes anyway.
    const std::string declared = request.get_header_value("Content-Length");
    const bool number = !declared.empty() && declared.find_first_not_of("0123456789") == std::string::npos;
    if (number && (declared.size() > 18 || std::stoull(declared) > maxBody)) {
        response.status = 413;
        return respond(connection, exchange, response, -1);
    }
    return true;
}

bool BoundedHttpServer::finish(MHD_Connection *connection, Exchange *exchange)
{
    httplib::Request &request = exchange->request;
    httplib::Response response;
    currentRequestStart = exchange->start;
    int fd = -1;
    if (exchange->route) {
        exchange->route->handler(request, response);
    } else {
        response.status = 404;
        for (const FileRoute &route : fileRoutes) {
            if (std::regex_match(request.path, request.matches, route.pattern)) {
                response.status = -1;
                fd = route.handler(request, response);
                break;
            }
        }
    }
    // The request is in whole: from here only the write timeout bounds the connection.
    {
        const std::lock_guard<std::mutex> lock(mutex);
        exchange->connection->answering = true;
    }
    return respond(connection, exchange, response, fd);
}

bool BoundedHttpServer::respond(MHD_Connection *connection, Exchange *exchange, httplib::Response &response, int fd)
{
    exchange->answered = true;
    if (response.status < 0)
        response.status = 200;
    MHD_Response *reply = nullptr;
    if (fd >= 0) {
        struct stat info{};
        const bool known = fstat(fd, &info) == 0;
        const uint64_t size = known ? uint64_t(info.st_size) : 0;
        if (known)
            response.set_header("Last-Modified", httpDate(info.st_mtime));
        // A copy that is no longer this file gets it whole, whatever part it asks for.
        const httplib::Request &request = exchange->request;
        const bool ranged = !request.has_header("If-Range") || sameCopy(request.get_header_value("If-Range"), response);
        uint64_t offset = 0, length = size;
        bool satisfiable = true;
        if (ranged && parseRange(request.get_header_value("Range"), size, &offset, &length, &satisfiable)) {
            response.status = 206;
            response.set_header("Content-Range", "bytes " + std::to_string(offset) + "-"
                                    + std::to_string(offset + length - 1) + "/" + std::to_string(size));
        } else if (!satisfiable) {
            close(fd);
            fd = -1;
            response.status = 416;
            response.set_header("Content-Range", "bytes */" + std::to_string(size));
        }
        if (fd >= 0) {
            reply = MHD_create_response_from_fd_at_offset64(length, fd, offset);
            response.set_header("Content-Length", std::to_string(length));
            // The library owns the descriptor only once it has made the response.
            if (!reply) {
                close(fd);
                return false;
            }
        }
    }
    if (fd < 0) {
        if (response.status >= 400 && response.body.empty() && errorHandler)
            errorHandler(exchange->request, response);
        reply = MHD_create_response_from_buffer(response.body.size(), const_cast<char *>(response.body.data()),
                                                MHD_RESPMEM_MUST_COPY);
        response.set_header("Content-Length", std::to_string(response.body.size()));
    }
    if (!reply)
        return false;
    for (const auto &header : response.headers) {
        if (header.first != "Content-Length")
            MHD_add_response_header(reply, header.first.c_str(), header.second.c_str());
    }
    const bool queued = MHD_queue_response(connection, unsigned(response.status), reply) == MHD_YES;
    MHD_destroy_response(reply);
    // Part way through a body the library cannot answer any more: the connection is closed.
    if (!queued)
        return false;
    currentRequestStart = exchange->start;
    if (requestLogger)
        requestLogger(exchange->request, response);
    return true;
}
