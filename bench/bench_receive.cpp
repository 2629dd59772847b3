// SPDX-License-Identifier: MIT
// The sender for bench/receive-rate.sh: 64-byte datagrams to 127.0.0.1 port
// 1667 at a given rate for a given time, paced by absolute deadlines (the
// i-th datagram is due at start + i / rate), then how many were sent.
//
//   bench_receive <datagrams per second> <seconds>
//
// It sleeps until shortly before each deadline and spins the rest, so that
// datagrams arrive one by one rather than in pairs at the timer's latency;
// whatever fell due while it was held up goes out at once, as a burst. That
// costs up to a core. Only loopback is ever sent to.
#include "rtthread.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

// Wake-ups come this much late or less on an idle machine.
const std::int64_t SpinNs = 150000;

std::int64_t nowNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void sleepUntilNs(std::int64_t deadline)
{
    const timespec t{time_t(deadline / 1000000000), long(deadline % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) { }
}

} // namespace

int main(int argc, char **argv)
{
    const double rate = argc > 2 ? std::atof(argv[1]) : 0;
    const double seconds = argc > 2 ? std::atof(argv[2]) : 0;
    if (rate <= 0 || seconds <= 0 || rate * seconds > 1e10) {
        std::fprintf(stderr, "usage: %s <datagrams per second> <seconds>\n", argv[0]);
        return 2;
    }

    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(RtThread::UdpPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Connected, so that each send skips the route lookup.
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0) {
        std::perror("bench_receive: socket");
        return 1;
    }

    const auto total = std::uint64_t(rate * seconds + 0.5);
    const double stepNs = 1e9 / rate;
    char datagram[RtThread::DatagramSize] = {};
    std::uint64_t sent = 0, failed = 0, bursts = 0, largestBurst = 0;
    std::int64_t latestNs = 0; // longest a datagram waited past its deadline

    const std::int64_t start = nowNs();
    for (std::uint64_t i = 0; i < total;) {
        const std::int64_t now = nowNs();
        std::uint64_t due = std::uint64_t(double(now - start) / stepNs) + 1;
        if (due > total)
            due = total;
        if (due <= i) {
            const std::int64_t deadline = start + std::int64_t(double(i) * stepNs);
            if (deadline - now > SpinNs)
                sleepUntilNs(deadline - SpinNs);
            continue;
        }
        latestNs = std::max(latestNs, now - start - std::int64_t(double(i) * stepNs));
        ++bursts;
        largestBurst = std::max<std::uint64_t>(largestBurst, due - i);
        for (; i < due; ++i) {
            std::memcpy(datagram, &i, sizeof i); // numbered: a capture shows order and gaps
            if (send(fd, datagram, sizeof datagram, 0) == ssize_t(sizeof datagram))
                ++sent;
            else
                ++failed; // e.g. ECONNREFUSED when nobody listens
        }
    }
    const double elapsed = double(nowNs() - start) / 1e9;
    close(fd);

    std::printf("sent %llu of %llu datagrams (%d bytes) to 127.0.0.1:%d in %.3f s: %.0f/s asked, "
                "%.0f/s achieved; %llu send errors; %llu bursts, largest %llu, latest "
                "%.0f us\n",
                (unsigned long long)sent, (unsigned long long)total, RtThread::DatagramSize,
                RtThread::UdpPort, elapsed, rate, double(sent) / elapsed,
                (unsigned long long)failed, (unsigned long long)bursts,
                (unsigned long long)largestBurst, double(latestNs) / 1e3);
    return failed == 0 ? 0 : 1;
}
