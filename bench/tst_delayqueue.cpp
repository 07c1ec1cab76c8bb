#include <QtTest>

#include "bench/delayqueue.h"

// The delay line's timing: a wrong release time would make every delayed-link figure wrong
// without anything failing.
namespace {

constexpr int64_t ms = 1'000'000;
constexpr int64_t us = 1'000;

DelayQueue::Limits link100Mbit()
{
    DelayQueue::Limits limits;
    limits.delayNs = 25 * ms;
    limits.bytesPerSecond = 12.5e6; // 1250 bytes take 100 us
    limits.maxQueueingNs = 50 * ms;
    limits.maxPackets = 8192;
    return limits;
}

std::vector<uint8_t> packetOf(size_t size, uint8_t tag)
{
    return std::vector<uint8_t>(size, tag);
}

} // namespace

class tst_delayqueue : public QObject
{
    Q_OBJECT

private slots:
    void packetArrivesAfterSendingTimePlusDelay();
    void backToBackPacketsArePacedAtTheRate();
    void idleLinkDoesNotChargeEarlierTraffic();
    void fullBufferDropsAndRecovers();
    void packetCountIsBounded();
};

void tst_delayqueue::packetArrivesAfterSendingTimePlusDelay()
{
    DelayQueue queue(link100Mbit());
    const auto sent = packetOf(1250, 7);
    QVERIFY(queue.push(1000 * ms, sent.data(), sent.size()));
    QCOMPARE(queue.nextReleaseNs(), 1000 * ms + 100 * us + 25 * ms);

    std::vector<uint8_t> got;
    QVERIFY(!queue.popReady(1000 * ms + 25 * ms, &got)); // the delay alone is not enough
    QVERIFY(queue.popReady(1000 * ms + 25 * ms + 100 * us, &got));
    QCOMPARE(got, sent);
    QVERIFY(queue.empty());
}

void tst_delayqueue::backToBackPacketsArePacedAtTheRate()
{
    DelayQueue queue(link100Mbit());
    for (uint8_t i = 0; i < 10; ++i) {
        const auto p = packetOf(1250, i);
        QVERIFY(queue.push(0, p.data(), p.size()));
    }
    std::vector<uint8_t> got;
    for (uint8_t i = 0; i < 10; ++i) {
        const int64_t due = 25 * ms + (i + 1) * 100 * us;
        QCOMPARE(queue.nextReleaseNs(), due);
        QVERIFY(!queue.popReady(due - 1, &got));
        QVERIFY(queue.popReady(due, &got));
        QCOMPARE(got.front(), i); // in the order sent
    }
}

void tst_delayqueue::idleLinkDoesNotChargeEarlierTraffic()
{
    DelayQueue queue(link100Mbit());
    const auto p = packetOf(1250, 1);
    QVERIFY(queue.push(0, p.data(), p.size()));
    std::vector<uint8_t> got;
    QVERIFY(queue.popReady(30 * ms, &got));
    QVERIFY(queue.push(500 * ms, p.data(), p.size()));
    QCOMPARE(queue.nextReleaseNs(), 500 * ms + 100 * us + 25 * ms);
}

void tst_delayqueue::fullBufferDropsAndRecovers()
{
    // 50 ms of queueing at 100 us a packet: the 502nd packet sent at once would wait too long.
    DelayQueue queue(link100Mbit());
    const auto p = packetOf(1250, 0);
    int accepted = 0;
    for (int i = 0; i < 600; ++i)
        accepted += queue.push(0, p.data(), p.size()) ? 1 : 0;
    QCOMPARE(accepted, 501);
    QCOMPARE(queue.droppedCount(), uint64_t(99));

    // Once the backlog has gone out, the link takes packets again.
    QVERIFY(queue.push(50 * ms + 200 * us, p.data(), p.size()));
}

void tst_delayqueue::packetCountIsBounded()
{
    DelayQueue::Limits limits = link100Mbit();
    limits.maxPackets = 3;
    DelayQueue queue(limits);
    const auto tiny = packetOf(1, 0);
    for (int i = 0; i < 3; ++i)
        QVERIFY(queue.push(0, tiny.data(), tiny.size()));
    QVERIFY(!queue.push(0, tiny.data(), tiny.size()));
    QCOMPARE(queue.size(), size_t(3));
}

QTEST_APPLESS_MAIN(tst_delayqueue)
#include "tst_delayqueue.moc"
