#pragma once

#include <QtGlobal>
#include <string>

// What tests need to face the updater with replies that are far larger than they look, and to
// see what that cost it.

// A gzip stream that unpacks to `size` zero bytes, made without ever holding them.
std::string gzipOfZeros(qint64 size);

// The process's peak resident memory starts again from what it holds now; false when it cannot.
bool resetPeakMemory();
// The process's peak resident memory in KiB since the last reset; -1 when unknown.
qint64 peakMemoryKiB();
