#pragma once

#include <httplib.h>

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <vector>

struct MHD_Connection;
struct MHD_Daemon;

// An HTTP server that slow, greedy or malformed clients cannot stall or swell: connections wait in
// an event loop rather than each holding a thread, every request is held to a header size, a body
// size and a deadline for arriving whole, whatever its framing, and each client address has at most
// a few connections (the rest are answered 503 at once). It also refuses to share its port with
// another process. Requests and responses are httplib's plain value types.
// libmicrohttpd is used through its public interface, save two bounds it has no hook for, which act on
// the connection's socket that MHD_CONNECTION_INFO_CONNECTION_FD reports: a connection over its
// address's bound is sent its 503 at accept (the library's per-address limit closes without a reply),
// and a request not whole by its deadline is shut down (the library only times out idle gaps, and has
// no call that closes a connection from outside its callbacks).
class BoundedHttpServer
{
public:
    using Handler = std::function<void(const httplib::Request &, httplib::Response &)>;
    // Answers with a file: returns an open descriptor, which the server then owns, or -1 when the
    // response already says why not.
    using FileHandler = std::function<int(const httplib::Request &, httplib::Response &)>;
    using Logger = std::function<void(const httplib::Request &, const httplib::Response &)>;

    // Connections held open at once, from all addresses together.
    static constexpr int maxConnections = 1024;
    static constexpr int defaultMaxPerAddress = 8;
    // A request is a few hundred bytes; a client that has not sent it whole by then is cut off. An
    // idle kept-alive connection has as long for its next request.
    static constexpr std::chrono::seconds requestDeadline{5};
    static constexpr size_t maxHeaderBytes = 8 * 1024;

    BoundedHttpServer();
    ~BoundedHttpServer();
    BoundedHttpServer(const BoundedHttpServer &) = delete;
    BoundedHttpServer &operator=(const BoundedHttpServer &) = delete;

    void setMaxConnectionsPerAddress(int count) { maxPerAddress = count; }
    void setMaxBodyBytes(size_t bytes) { maxBody = bytes; }
    // Told the address of every connection refused for being over the bound.
    void setRefusalLogger(std::function<void(const std::string &address)> logger) { refusalLogger = logger; }
    // Called for every answer of status 400 or more that has no body yet.
    void setErrorHandler(Handler handler) { errorHandler = handler; }
    void setLogger(Logger logger) { requestLogger = logger; }
    // Patterns match the whole decoded path; request.matches holds the groups.
    void post(const std::string &pattern, Handler handler);
    // Also answers HEAD; a Range of one span is honoured, unless an If-Range names another copy than
    // the handler's ETag or the Last-Modified sent.
    void getFile(const std::string &pattern, FileHandler handler);

    // Port 0 takes any free port. Returns the bound port, or -1 with errno set (0: no such address).
    int bind(const std::string &host, int port);
    // Serves until the process ends; false when the server cannot start.
    bool listen();

    // When the request being handled on the calling thread arrived whole.
    static std::chrono::steady_clock::time_point requestStart();

private:
    struct Connection;
    struct Exchange;
    struct PostRoute
    {
        std::regex pattern;
        Handler handler;
    };
    struct FileRoute
    {
        std::regex pattern;
        FileHandler handler;
    };

    struct Callbacks; // the library's entry points, which reach the members below

    bool begin(MHD_Connection *connection, Exchange *exchange);
    bool finish(MHD_Connection *connection, Exchange *exchange);
    bool respond(MHD_Connection *connection, Exchange *exchange, httplib::Response &response, int fd);
    void opened(MHD_Connection *connection, void **context);
    void closed(Connection *state);
    void cutOffLateRequests();

    int maxPerAddress = defaultMaxPerAddress;
    size_t maxBody = 64 * 1024;
    std::function<void(const std::string &)> refusalLogger;
    Handler errorHandler;
    Logger requestLogger;
    std::vector<PostRoute> postRoutes;
    std::vector<FileRoute> fileRoutes;
    int listenSocket = -1;
    MHD_Daemon *daemon = nullptr;
    std::mutex mutex;
    std::map<std::string, int> perAddress; // only addresses with at least one admitted connection
    std::set<Connection *> open;
};
