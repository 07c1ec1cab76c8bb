#pragma once

#include <QString>
#include <atomic>
#include <string>

#include "tests/support/loopbackserver.h"

// Serves a.txt and c.txt at once and b.bin (a megabyte) slowly, so that a test can close the
// window in the middle of the second of three downloads. The update service names it as the
// download base: --download-url baseUrl().
class SlowSecondFileServer
{
public:
    SlowSecondFileServer();

    QString baseUrl() const { return server.url("/files"); }

    std::atomic<bool> secondStarted{false};
    std::atomic<bool> thirdRequested{false};

private:
    const std::string slowBody;
    LoopbackServer server;
};
