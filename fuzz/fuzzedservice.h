#pragma once

#include "service/updateserver.h"

#include <QTemporaryDir>
#include <memory>

// update-service serving a small release on a loopback port in this process, for fuzz targets
// that speak to it as its clients do. Beside the release lies a file whose text must never be sent.
class FuzzedService
{
public:
    static constexpr const char *secret = "outside the release";

    // Made at the first call and kept until the process ends, as the server runs until then;
    // aborts when it cannot start.
    static FuzzedService &instance();

    int port() const { return boundPort; }

private:
    FuzzedService();

    QTemporaryDir dir;
    std::unique_ptr<UpdateServer> server;
    int boundPort = 0;
};
