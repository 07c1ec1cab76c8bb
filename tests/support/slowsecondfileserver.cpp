#include "tests/support/slowsecondfileserver.h"

#include <algorithm>
#include <chrono>
#include <thread>

SlowSecondFileServer::SlowSecondFileServer()
    : slowBody(1024 * 1024, 'b')
{
    server.http().Get("/files/a.txt", [](const httplib::Request &, httplib::Response &response) {
        response.set_content("new a\n", "text/plain");
    });
    server.http().Get("/files/b.bin", [this](const httplib::Request &, httplib::Response &response) {
        secondStarted = true;
        response.set_content_provider(slowBody.size(), "application/octet-stream",
                                      [this](size_t offset, size_t length, httplib::DataSink &sink) {
                                          std::this_thread::sleep_for(std::chrono::milliseconds(100));
                                          return sink.write(slowBody.data() + offset, std::min<size_t>(length, 16384));
                                      });
    });
    server.http().Get("/files/c.txt", [this](const httplib::Request &, httplib::Response &response) {
        thirdRequested = true;
        response.set_content("new c\n", "text/plain");
    });
    server.start();
}
