// update-service as the updater's peers meet it: over HTTP on loopback. The first byte picks the
// request (even: the upgrade query with the rest as its body; odd: a file download with the rest as
// its path); whatever comes, the service answers, and never with a file from outside its release.
#include "fuzz/fuzzedservice.h"

#include <QUrl>
#include <cstdlib>
#include <httplib.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static httplib::Client *const client = [] {
        auto *made = new httplib::Client("127.0.0.1", FuzzedService::instance().port());
        made->set_keep_alive(true);
        made->set_tcp_nodelay(true); // else each request waits for a delayed acknowledgement
        return made;
    }();
    if (size == 0)
        return 0;
    const std::string rest(reinterpret_cast<const char *>(data) + 1, size - 1);
    httplib::Result result = data[0] % 2 == 0
        ? client->Post("/api/upgrade", rest, "application/json")
        // Encoded, so that every input is one well-formed request line.
        : client->Get(("/files/" + QUrl::toPercentEncoding(QString::fromStdString(rest), "/")).toStdString());
    if (!result || result->body.find(FuzzedService::secret) != std::string::npos)
        std::abort();
    return 0;
}
