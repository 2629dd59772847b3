// SPDX-License-Identifier: MIT
// Linux side of the OS layer: the periodic timer, sleeps, clocks and
// datagrams' kernel stamps and drops.
#include "linuxos.h"

#include <linux/sock_diag.h>
#include <sys/prctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <unistd.h>

// A grid of deadlines on CLOCK_MONOTONIC, slept to with clock_nanosleep.
struct platform::PeriodicTimer
{
    platform::PeriodGrid grid;
};

namespace platform {

PeriodicTimer *LinuxOs::createPeriodicTimer()
{
    return new (std::nothrow) PeriodicTimer{};
}

bool LinuxOs::setPeriodicTimer(PeriodicTimer *timer, int periodMs)
{
    if (!timer || periodMs < 0)
        return false;
    timer->grid.arm(monotonicNanos(), std::int64_t(periodMs) * 1000000);
    return true;
}

// A sleep to an absolute deadline on CLOCK_MONOTONIC (clock_nanosleep
// with TIMER_ABSTIME) ends at the deadline however late the sleep began,
// so the wake-ups stay on the grid. A timerfd ends its sleeps on the
// same grid, but through poll and a read of the expiry count: more work
// between the expiry and the return, and the wake-ups measured later and
// more widely spread.
void LinuxOs::waitPeriodicTimer(PeriodicTimer *timer, std::uint32_t timeoutMs)
{
    if (!timer)
        return;
    const std::int64_t now = monotonicNanos();
    if (timer->grid.takeDue(now))
        return;
    // UINT32_MAX is Windows' INFINITE; otherwise the time-out ends the
    // wait when it comes before the deadline, which then stays due.
    const bool forever = timeoutMs == UINT32_MAX;
    const std::int64_t timeoutAt = now + std::int64_t(timeoutMs) * 1000000;
    const bool toDeadline =
        !timer->grid.exhausted() && (forever || timer->grid.deadline() <= timeoutAt);
    if (!toDeadline && forever) {
        // Nothing will ever fire: wait as Windows would, for good.
        for (;;)
            pause();
    }
    const timespec until = toTimespec(toDeadline ? timer->grid.deadline() : timeoutAt);
    // A signal wakes the sleep early; sleeping again to the same
    // absolute time loses nothing.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) { }
    if (toDeadline)
        timer->grid.takeNext();
}

void LinuxOs::closePeriodicTimer(PeriodicTimer *timer)
{
    delete timer;
}

// Software receive stamps: the kernel notes CLOCK_REALTIME when a
// datagram enters the network stack, before any thread runs, and hands
// it to recvmsg as an SCM_TIMESTAMPNS control message (socket(7)).
bool LinuxOs::enableReceiveStamps(std::intptr_t socket)
{
    const int on = 1;
    return setsockopt(int(socket), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) == 0;
}

PendingDatagram LinuxOs::peekDatagram(std::intptr_t socket)
{
    PendingDatagram next;
    char byte = 0;
    iovec data{&byte, 1};
    // Room for the stamp and the other control messages Qt asks for on
    // its UDP sockets (packet information, hop limit); on the stack.
    alignas(cmsghdr) char control[256];
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    // MSG_TRUNC gives the datagram's whole length, MSG_PEEK leaves it in
    // the queue; the stamp comes with a peek as with a read.
    ssize_t size;
    do {
        size = recvmsg(int(socket), &message, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    } while (size < 0 && errno == EINTR);
    if (size < 0)
        return next;
    next.size = size;
    for (cmsghdr *item = CMSG_FIRSTHDR(&message); item; item = CMSG_NXTHDR(&message, item)) {
        if (item->cmsg_level == SOL_SOCKET && item->cmsg_type == SCM_TIMESTAMPNS) {
            timespec stamp{};
            std::memcpy(&stamp, CMSG_DATA(item), sizeof stamp);
            next.stamped = true;
            next.stampNs = std::int64_t(stamp.tv_sec) * NanosPerSecond + stamp.tv_nsec;
            break;
        }
    }
    return next;
}

// The kernel stamps on CLOCK_REALTIME (the counter is CLOCK_MONOTONIC).
std::int64_t LinuxOs::stampClockNs()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return std::int64_t(now.tv_sec) * NanosPerSecond + now.tv_nsec;
}

void LinuxOs::sleepMs(std::uint32_t ms)
{
    // An absolute deadline keeps the sleep whole across signal wake-ups.
    const timespec deadline = toTimespec(monotonicNanos() + std::int64_t(ms) * 1000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) { }
}

// The closest Linux has to a finer system timer is the timer slack of a
// thread: the kernel may delay a sleeper's wake-up by up to the slack
// (50 us by default) to batch wake-ups. A slack of 1 ns wakes sleepers on
// time; threads created afterwards inherit it, and writing 0 restores the
// thread's default. Requests outside Windows' accepted range (1 ms up) are
// refused as Windows refuses them.
void LinuxOs::beginTimerResolution(std::uint32_t periodMs)
{
    if (accepted(periodMs))
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

void LinuxOs::endTimerResolution(std::uint32_t periodMs)
{
    if (accepted(periodMs))
        prctl(PR_SET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL);
}

std::int64_t LinuxOs::currentThreadCpuTime()
{
    timespec used{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used) != 0)
        return -1;
    return std::int64_t(used.tv_sec) * NanosPerSecond + used.tv_nsec;
}

// SO_MEMINFO (Linux 4.12) reports the socket's memory figures and, among
// them, sk_drops: every datagram the kernel discarded for this socket,
// the ones a full receive queue refused included.
std::int64_t LinuxOs::socketDropCount(std::intptr_t socket)
{
    std::uint32_t figures[SK_MEMINFO_VARS] = {};
    socklen_t size = sizeof figures;
    if (getsockopt(int(socket), SOL_SOCKET, SO_MEMINFO, figures, &size) != 0 ||
        size <= SK_MEMINFO_DROPS * sizeof figures[0])
        return -1;
    return figures[SK_MEMINFO_DROPS];
}

} // namespace platform
