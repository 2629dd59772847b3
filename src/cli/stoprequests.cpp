// SPDX-License-Identifier: MIT
#include "stoprequests.h"

#include "platform.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace StopRequests {

namespace {

enum class Phase { Other, Measuring, Stopping };

std::mutex mutex;
std::condition_variable heard;
Phase phase = Phase::Other;

[[noreturn]] void endNow()
{
    static const char line[] = "vantrel-cli: stopped by Ctrl-C or SIGTERM; a result file not "
                               "yet written keeps its earlier content\n";
#ifndef _WIN32
    // Not stdio: the main thread may hold its lock, blocked on a slow reader.
    [[maybe_unused]] const auto written = ::write(2, line, sizeof line - 1);
#else
    std::fputs(line, stderr);
#endif
    std::_Exit(1);
}

// The signals are blocked in every thread; this one alone takes them.
void watchRequests()
{
    for (;;) {
        if (!platform::waitForStopRequest(1000))
            continue;
        std::unique_lock<std::mutex> lock(mutex);
        if (phase != Phase::Measuring)
            endNow();
        phase = Phase::Stopping;
        heard.notify_all();
#ifdef _WIN32
        return; // the request stays signalled there: one is all it can hear
#endif
    }
}

} // namespace

void watch()
{
    std::thread(watchRequests).detach();
}

void measuring()
{
    const std::lock_guard<std::mutex> lock(mutex);
    phase = Phase::Measuring;
}

void measured()
{
    const std::lock_guard<std::mutex> lock(mutex);
    phase = Phase::Other;
}

bool waitFor(std::uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex);
    return heard.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [] { return phase == Phase::Stopping; });
}

} // namespace StopRequests
