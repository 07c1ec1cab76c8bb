#pragma once

#include <QProcess>

// For servers the tests start as programs of their own, which cannot be told to pick a port.

// A loopback port free a moment ago; 0 when none could be had.
int freeLoopbackPort();
// Whether the process accepts connections on the loopback port within a few seconds; false as soon
// as it has ended.
bool acceptsConnections(const QProcess &process, int port);
