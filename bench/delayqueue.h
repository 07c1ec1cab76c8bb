#pragma once
// One direction of a slow link: packets leave one after the other at the link's rate and arrive a
// fixed time later. Kept apart from the TUN plumbing so that the timing can be checked on its own.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

class DelayQueue
{
public:
    struct Limits {
        int64_t delayNs = 25'000'000;    // propagation, one way
        double bytesPerSecond = 12.5e6;  // 100 Mbit/s
        int64_t maxQueueingNs = 50'000'000; // a router's buffer: longer waits are tail-dropped
        size_t maxPackets = 8192;        // a hard bound on what is held, whatever the sizes
    };

    explicit DelayQueue(const Limits &limits) : limits(limits) {}

    // False when the packet is dropped because the buffer is full.
    bool push(int64_t nowNs, const uint8_t *data, size_t size)
    {
        const int64_t start = linkFreeNs > nowNs ? linkFreeNs : nowNs;
        if (start - nowNs > limits.maxQueueingNs || queue.size() >= limits.maxPackets) {
            ++dropped;
            return false;
        }
        const int64_t sent = start + int64_t(double(size) * 1e9 / limits.bytesPerSecond);
        linkFreeNs = sent;
        // Departures are in order and the delay is constant, so release times never decrease.
        queue.push_back({sent + limits.delayNs, std::vector<uint8_t>(data, data + size)});
        return true;
    }

    bool empty() const { return queue.empty(); }
    int64_t nextReleaseNs() const { return queue.front().releaseNs; }

    // Takes the oldest packet if it has arrived by nowNs.
    bool popReady(int64_t nowNs, std::vector<uint8_t> *packet)
    {
        if (queue.empty() || queue.front().releaseNs > nowNs)
            return false;
        packet->swap(queue.front().bytes);
        queue.pop_front();
        return true;
    }

    size_t size() const { return queue.size(); }
    uint64_t droppedCount() const { return dropped; }

private:
    struct Entry {
        int64_t releaseNs;
        std::vector<uint8_t> bytes;
    };
    Limits limits;
    std::deque<Entry> queue;
    int64_t linkFreeNs = 0;
    uint64_t dropped = 0;
};
