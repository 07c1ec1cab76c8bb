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
    // b.bin's bytes, to be published as they are: a signed release that listed other bytes would
    // fail the download at its first bytes, and a box could then beat the close request.
    const std::string slowBody;

private:
    LoopbackServer server;
};
