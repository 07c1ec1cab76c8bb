// delayline: a slow link between two network namespaces, since this kernel has no netem.
//   delayline NETNS-A DEV-A NETNS-B DEV-B [--delay-ms N] [--rate-mbit N] [--max-seconds N]
//             [--reset-every BYTES]
// Makes a TUN device in each namespace (named by `ip netns add`) and forwards every packet to the
// other one after the one-way delay, paced at the rate. Prints "ready" once both devices exist;
// the caller gives them addresses. The devices vanish when it exits: on SIGTERM, SIGINT or after
// --max-seconds, so a forgotten one cannot linger.
// A is the server's side. On SIGUSR1 it prints "payload N resets M": the TCP payload bytes that
// have reached B, and how many connections it reset: with --reset-every, each time that many more
// bytes have reached B, the connection carrying the last of them is reset at A, as a router
// dropping a flow's state would.
#include "delayqueue.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t stopRequested = 0;
volatile sig_atomic_t countRequested = 0;

void onSignal(int signal)
{
    if (signal == SIGUSR1)
        countRequested = 1;
    else
        stopRequested = 1;
}

int64_t nowNs()
{
    timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

[[noreturn]] void die(const std::string &what)
{
    std::fprintf(stderr, "delayline: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

// The device is made in whatever namespace the calling thread is in, so enter it first and
// come back afterwards; the descriptor keeps working from here.
int openTunIn(const std::string &netns, const std::string &device, int homeNs)
{
    const std::string path = "/run/netns/" + netns;
    const int nsFd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (nsFd < 0)
        die("open " + path);
    if (setns(nsFd, CLONE_NEWNET) != 0)
        die("enter " + netns);
    close(nsFd);

    const int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        die("open /dev/net/tun");
    ifreq request {};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(request.ifr_name, device.c_str(), IFNAMSIZ - 1);
    if (ioctl(fd, TUNSETIFF, &request) != 0)
        die("create " + device + " in " + netns);

    if (setns(homeNs, CLONE_NEWNET) != 0)
        die("return to the first namespace");
    return fd;
}

struct Direction {
    int from;
    int to;
    DelayQueue queue;
    uint64_t forwarded = 0;
    uint64_t payload = 0;
};

uint16_t read16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }

// TCP over IPv4 only; anything else carries no payload here.
size_t tcpPayload(const std::vector<uint8_t> &packet)
{
    if (packet.size() < 40 || packet[0] >> 4 != 4 || packet[9] != 6)
        return 0;
    const size_t ipHeader = (packet[0] & 0xF) * 4u;
    const size_t total = std::min<size_t>(read16(&packet[2]), packet.size());
    if (ipHeader + 20 > total)
        return 0;
    const size_t tcpHeader = (packet[ipHeader + 12] >> 4) * 4u;
    return ipHeader + tcpHeader <= total ? total - ipHeader - tcpHeader : 0;
}

uint16_t checksum(const uint8_t *data, size_t size, uint32_t sum = 0)
{
    for (size_t i = 0; i + 1 < size; i += 2)
        sum += read16(data + i);
    if (size % 2)
        sum += uint32_t(data[size - 1]) << 8;
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return uint16_t(~sum);
}

// A RST from B's end of the packet's connection to A's, at the sequence number A expects next
// (the packet's acknowledgement): A drops the connection, and answers B's next segment with a RST
// of its own that B takes as exactly in order.
std::vector<uint8_t> resetFor(const std::vector<uint8_t> &packet)
{
    const size_t ipHeader = (packet[0] & 0xF) * 4u;
    const uint8_t *tcp = &packet[ipHeader];
    std::vector<uint8_t> rst(40, 0);
    rst[0] = 0x45;
    rst[3] = 40;
    rst[6] = 0x40; // don't fragment
    rst[8] = 64;
    rst[9] = 6;
    std::memcpy(&rst[12], &packet[16], 4); // from the packet's destination
    std::memcpy(&rst[16], &packet[12], 4); // to its source
    std::memcpy(&rst[20], tcp + 2, 2);
    std::memcpy(&rst[22], tcp, 2);
    std::memcpy(&rst[24], tcp + 8, 4); // seq: what A acknowledged
    rst[32] = 5 << 4;
    rst[33] = 0x04; // RST
    const uint16_t ipSum = checksum(rst.data(), 20);
    rst[10] = uint8_t(ipSum >> 8);
    rst[11] = uint8_t(ipSum);
    uint8_t pseudo[12] = {};
    std::memcpy(pseudo, &rst[12], 8);
    pseudo[9] = 6;
    pseudo[11] = 20;
    uint32_t partial = 0;
    for (size_t i = 0; i < sizeof pseudo; i += 2)
        partial += read16(pseudo + i);
    const uint16_t tcpSum = checksum(&rst[20], 20, partial);
    rst[36] = uint8_t(tcpSum >> 8);
    rst[37] = uint8_t(tcpSum);
    return rst;
}

uint64_t resetEvery = 0;
uint64_t resets = 0;

// Everything the device has for us now; it is non-blocking, so this ends at EAGAIN.
void readAll(Direction &d, std::vector<uint8_t> &buffer)
{
    for (int i = 0; i < 256; ++i) {
        const ssize_t n = read(d.from, buffer.data(), buffer.size());
        if (n <= 0)
            return;
        d.queue.push(nowNs(), buffer.data(), size_t(n));
    }
}

void releaseDue(Direction &d, bool mayReset)
{
    std::vector<uint8_t> packet;
    while (d.queue.popReady(nowNs(), &packet)) {
        // A device that cannot take it now loses it, as a real link would.
        if (write(d.to, packet.data(), packet.size()) != ssize_t(packet.size()))
            continue;
        ++d.forwarded;
        const size_t payload = tcpPayload(packet);
        if (payload == 0)
            continue;
        d.payload += payload;
        if (mayReset && resetEvery > 0 && d.payload / resetEvery > resets) {
            const std::vector<uint8_t> rst = resetFor(packet);
            if (write(d.from, rst.data(), rst.size()) == ssize_t(rst.size()))
                ++resets;
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: delayline NETNS-A DEV-A NETNS-B DEV-B [--delay-ms N] "
                             "[--rate-mbit N] [--max-seconds N] [--reset-every BYTES]\n");
        return 2;
    }
    DelayQueue::Limits limits;
    int64_t maxSeconds = 900;
    for (int i = 5; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const double value = std::atof(argv[i + 1]);
        if (option == "--delay-ms" && value >= 0)
            limits.delayNs = int64_t(value * 1e6);
        else if (option == "--rate-mbit" && value > 0)
            limits.bytesPerSecond = value * 1e6 / 8;
        else if (option == "--max-seconds" && value > 0)
            maxSeconds = int64_t(value);
        else if (option == "--reset-every" && value > 0)
            resetEvery = uint64_t(value);
        else {
            std::fprintf(stderr, "delayline: bad option %s %s\n", argv[i], argv[i + 1]);
            return 2;
        }
    }

    // The signals are only let in while waiting, so a stop is never missed between checks.
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) {
        sigaddset(&blocked, s);
        struct sigaction action {};
        action.sa_handler = onSignal;
        sigaction(s, &action, nullptr);
    }
    sigset_t waiting;
    sigprocmask(SIG_BLOCK, &blocked, &waiting);

    const int homeNs = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    if (homeNs < 0)
        die("open /proc/self/ns/net");
    const int a = openTunIn(argv[1], argv[2], homeNs);
    const int b = openTunIn(argv[3], argv[4], homeNs);
    Direction directions[2] = {{a, b, DelayQueue(limits)}, {b, a, DelayQueue(limits)}};
    std::printf("ready\n");
    std::fflush(stdout);

    const int64_t deadline = nowNs() + maxSeconds * 1'000'000'000;
    std::vector<uint8_t> buffer(65536);
    while (!stopRequested && nowNs() < deadline) {
        int64_t wake = deadline;
        for (const Direction &d : directions) {
            if (!d.queue.empty() && d.queue.nextReleaseNs() < wake)
                wake = d.queue.nextReleaseNs();
        }
        const int64_t now = nowNs();
        const int64_t wait = wake > now ? wake - now : 0;
        const timespec timeout {time_t(wait / 1'000'000'000), long(wait % 1'000'000'000)};
        pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
        const int ready = ppoll(fds, 2, &timeout, &waiting);
        if (ready < 0 && errno != EINTR)
            die("ppoll");
        for (int i = 0; i < 2 && ready > 0; ++i) {
            if (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) {
                std::fprintf(stderr, "delayline: a device went away\n");
                return 1;
            }
            if (fds[i].revents & POLLIN)
                readAll(directions[i], buffer);
        }
        releaseDue(directions[0], true);
        releaseDue(directions[1], false);
        if (countRequested) {
            countRequested = 0;
            std::printf("payload %llu resets %llu\n", (unsigned long long)directions[0].payload,
                        (unsigned long long)resets);
            std::fflush(stdout);
        }
    }
    std::fprintf(stderr, "delayline: %s; forwarded %llu and %llu packets, dropped %llu and %llu\n",
                 stopRequested ? "stopped" : "ran its maximum time",
                 (unsigned long long)directions[0].forwarded, (unsigned long long)directions[1].forwarded,
                 (unsigned long long)directions[0].queue.droppedCount(),
                 (unsigned long long)directions[1].queue.droppedCount());
    return 0;
}
