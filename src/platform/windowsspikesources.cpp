// SPDX-License-Identifier: MIT
// Windows: none of the spike sources is available yet; every reading says
// it cannot tell (-1), so verdicts there stay "unexplained".
#include "platform.h"

namespace platform {

OwnThreadCounters::OwnThreadCounters() = default;
OwnThreadCounters::~OwnThreadCounters() = default;

ThreadCounters OwnThreadCounters::read() const
{
    return ThreadCounters();
}

ThreadCounters threadCounters(std::int64_t)
{
    return ThreadCounters();
}

std::int64_t currentThreadId()
{
    return -1;
}

std::int64_t currentThreadTimerSlackNs()
{
    return -1;
}

bool setCurrentThreadTimerSlackNs(std::int64_t)
{
    return false;
}

RealtimeThrottle realtimeThrottle()
{
    return RealtimeThrottle();
}

CpuCounters cpuCounters(int)
{
    return CpuCounters();
}

int pinnedCpu()
{
    return -1;
}

bool avoidCpu(int)
{
    return false;
}

TraceAccess decideTraceAccess(const TraceFacts &facts)
{
    TraceAccess access;
    access.allowed = facts.openErrno == 0;
    if (!access.allowed)
        access.reason = "not available on Windows";
    return access;
}

TraceAccess traceAccess(int)
{
    return decideTraceAccess(TraceFacts());
}

// What an ordinary process may read has no scheduler trace; an
// administrator's kernel trace session would (docs/os-layer.md).
struct TraceSession::Rings
{
};

TraceSession::TraceSession() = default;
TraceSession::~TraceSession() = default;

bool TraceSession::open(const CpuList &, std::int64_t)
{
    reason = "not available on Windows: the scheduler's trace needs an administrator's kernel "
             "trace session";
    return false;
}
void TraceSession::drain(std::vector<TraceRecord> &) { }
void TraceSession::close() { }

} // namespace platform
