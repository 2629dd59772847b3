// SPDX-License-Identifier: MIT
// The sender for bench/receive-rate.sh and bench/arrival.sh: 64-byte
// datagrams to 127.0.0.1 port 1667, paced by absolute deadlines, for a given
// time, then how many were sent. At a rate, the i-th datagram is due at
// start + i / rate; with gaps, the gaps in ms follow one another in turn.
//
//   bench_receive <datagrams per second> <seconds>
//   bench_receive --gaps 1,2,3,5 <seconds>
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
#include <string>
#include <vector>

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
    // Deadlines, as offsets from the start: a step, or a cycle of gaps.
    std::vector<std::int64_t> gapsNs;
    double rate = 0;
    double seconds = 0;
    if (argc == 4 && std::string(argv[1]) == "--gaps") {
        for (const char *p = argv[2]; *p;) {
            char *end = nullptr;
            const double ms = std::strtod(p, &end);
            if (end == p || ms <= 0)
                break;
            gapsNs.push_back(std::int64_t(ms * 1e6 + 0.5));
            p = *end == ',' ? end + 1 : end;
        }
        seconds = std::atof(argv[3]);
    } else if (argc == 3) {
        rate = std::atof(argv[1]);
        seconds = std::atof(argv[2]);
    }
    if ((gapsNs.empty() && (rate <= 0 || rate * seconds > 1e10)) || seconds <= 0) {
        std::fprintf(stderr,
                     "usage: %s <datagrams per second> <seconds>\n"
                     "       %s --gaps <ms,ms,...> <seconds>\n",
                     argv[0], argv[0]);
        return 2;
    }
    std::int64_t cycleNs = 0;
    std::vector<std::int64_t> prefixNs; // offset of each gap's datagram in its cycle
    for (const std::int64_t gap : gapsNs) {
        prefixNs.push_back(cycleNs);
        cycleNs += gap;
    }
    const double stepNs = rate > 0 ? 1e9 / rate : 0;
    const auto offsetNs = [&](std::uint64_t i) {
        if (gapsNs.empty())
            return std::int64_t(double(i) * stepNs);
        return std::int64_t(i / gapsNs.size()) * cycleNs + prefixNs[i % gapsNs.size()];
    };
    std::uint64_t total = 0;
    if (gapsNs.empty())
        total = std::uint64_t(rate * seconds + 0.5);
    else
        while (double(offsetNs(total)) < seconds * 1e9)
            ++total;

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

    char datagram[RtThread::DatagramSize] = {};
    std::uint64_t sent = 0, failed = 0, bursts = 0, largestBurst = 0;
    std::int64_t latestNs = 0; // longest a datagram waited past its deadline

    const std::int64_t start = nowNs();
    for (std::uint64_t i = 0; i < total;) {
        const std::int64_t now = nowNs();
        const std::int64_t deadline = start + offsetNs(i);
        if (deadline > now) {
            if (deadline - now > SpinNs)
                sleepUntilNs(deadline - SpinNs);
            continue;
        }
        latestNs = std::max(latestNs, now - deadline);
        ++bursts;
        std::uint64_t burst = 0;
        for (; i < total && start + offsetNs(i) <= now; ++i, ++burst) {
            std::memcpy(datagram, &i, sizeof i); // numbered: a capture shows order and gaps
            if (send(fd, datagram, sizeof datagram, 0) == ssize_t(sizeof datagram))
                ++sent;
            else
                ++failed; // e.g. ECONNREFUSED when nobody listens
        }
        largestBurst = std::max(largestBurst, burst);
    }
    const double elapsed = double(nowNs() - start) / 1e9;
    close(fd);

    std::printf("sent %llu of %llu datagrams (%d bytes) to 127.0.0.1:%d in %.3f s: %.0f/s asked, "
                "%.0f/s achieved; %llu send errors; %llu bursts, largest %llu, latest "
                "%.0f us\n",
                (unsigned long long)sent, (unsigned long long)total, RtThread::DatagramSize,
                RtThread::UdpPort, elapsed, double(total) / seconds, double(sent) / elapsed,
                (unsigned long long)failed, (unsigned long long)bursts,
                (unsigned long long)largestBurst, double(latestNs) / 1e3);
    return failed == 0 ? 0 : 1;
}
