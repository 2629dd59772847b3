// SPDX-License-Identifier: MIT
// Linux: the sources a spike's cause is read from. The worker's own reads
// (OwnThreadCounters::read) make no allocation; everything else runs on the
// sampler's thread.
#include "linuxos.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace platform {
namespace {

std::int64_t readNumber(const char *path, std::int64_t fallback)
{
    std::ifstream file(path);
    std::int64_t value = 0;
    return (file >> value) ? value : fallback;
}

// Digits only: the kernel's counts are never signed.
bool isCount(const std::string &token)
{
    return !token.empty() && token.find_first_not_of("0123456789") == std::string::npos;
}

std::int64_t nanosPerTick()
{
    const long ticks = sysconf(_SC_CLK_TCK);
    return ticks > 0 ? NanosPerSecond / ticks : -1;
}

void readFaults(const rusage &usage, ThreadCounters &into)
{
    into.minorFaults = usage.ru_minflt;
    into.majorFaults = usage.ru_majflt;
}

} // namespace

namespace procfs {

bool parseSchedstat(const std::string &text, ThreadCounters &into)
{
    std::istringstream in(text);
    std::int64_t run = 0, delay = 0, slices = 0;
    if (!(in >> run >> delay >> slices))
        return false;
    into.runNs = run;
    into.runDelayNs = delay;
    into.timeslices = slices;
    return true;
}

bool parseTaskStatFaults(const std::string &text, ThreadCounters &into)
{
    // The name in parentheses may hold spaces and ')': fields count from the
    // last ')'. After it: state (3), ppid, pgrp, session, tty_nr, tpgid,
    // flags, minflt (10), cminflt, majflt (12).
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return false;
    std::istringstream in(text.substr(close + 1));
    std::string field;
    std::int64_t minor = -1, major = -1;
    for (int number = 3; number <= 12 && (in >> field); ++number) {
        if (number == 10 || number == 12) {
            if (!isCount(field))
                return false;
            (number == 10 ? minor : major) = std::strtoll(field.c_str(), nullptr, 10);
        }
    }
    if (major < 0)
        return false;
    into.minorFaults = minor;
    into.majorFaults = major;
    return true;
}

std::int64_t stealTicks(const std::string &text, int cpu)
{
    const std::string label = cpu < 0 ? std::string("cpu") : "cpu" + std::to_string(cpu);
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string first;
        if (!(fields >> first) || first != label)
            continue;
        std::int64_t value = 0;
        for (int field = 1; field <= 8; ++field) {
            if (!(fields >> value))
                return -1;
        }
        return value;
    }
    return -1;
}

std::int64_t cpuColumnSum(const std::string &text, int cpu)
{
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line))
        return -1;
    // The header names the online CPUs' columns: "CPU0 CPU2" when 1 is off.
    std::istringstream header(line);
    std::vector<int> columns;
    std::string name;
    int column = -1;
    while (header >> name) {
        if (name.compare(0, 3, "CPU") != 0 || !isCount(name.substr(3)))
            return -1;
        if (cpu >= 0 && std::atoi(name.c_str() + 3) == cpu)
            column = int(columns.size());
        columns.push_back(std::atoi(name.c_str() + 3));
    }
    if (columns.empty() || (cpu >= 0 && column < 0))
        return -1;
    std::int64_t sum = 0;
    std::vector<std::int64_t> counts;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string token;
        if (!(fields >> token) || token.back() != ':')
            continue;
        counts.clear();
        while (counts.size() < columns.size() && (fields >> token) && isCount(token))
            counts.push_back(std::strtoll(token.c_str(), nullptr, 10));
        // ERR and MIS hold one count for the whole machine, not one per CPU.
        if (counts.size() < columns.size())
            continue;
        if (cpu >= 0) {
            sum += counts[std::size_t(column)];
        } else {
            for (const std::int64_t count : counts)
                sum += count;
        }
    }
    return sum;
}

} // namespace procfs

OwnThreadCounters::OwnThreadCounters()
{
    handle = open("/proc/thread-self/schedstat", O_RDONLY | O_CLOEXEC);
}

OwnThreadCounters::~OwnThreadCounters()
{
    if (handle >= 0)
        close(int(handle));
}

ThreadCounters OwnThreadCounters::read() const
{
    ThreadCounters now;
    if (handle >= 0) {
        // The file is made anew at each read from its start.
        char text[128];
        const ssize_t size = pread(int(handle), text, sizeof text - 1, 0);
        if (size > 0) {
            text[size] = '\0';
            long long run = 0, delay = 0, slices = 0;
            if (std::sscanf(text, "%lld %lld %lld", &run, &delay, &slices) == 3) {
                now.runNs = run;
                now.runDelayNs = delay;
                now.timeslices = slices;
            }
        }
    }
    rusage usage{};
    if (getrusage(RUSAGE_THREAD, &usage) == 0)
        readFaults(usage, now);
    return now;
}

ThreadCounters threadCounters(std::int64_t threadId)
{
    ThreadCounters now;
    const std::string task = "/proc/self/task/" + std::to_string(threadId);
    procfs::parseSchedstat(readWhole((task + "/schedstat").c_str()), now);
    procfs::parseTaskStatFaults(readWhole((task + "/stat").c_str()), now);
    return now;
}

std::int64_t currentThreadId()
{
    return std::int64_t(syscall(SYS_gettid));
}

std::int64_t currentThreadTimerSlackNs()
{
    const int slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    return slack >= 0 ? std::int64_t(slack) : -1;
}

bool setCurrentThreadTimerSlackNs(std::int64_t ns)
{
    return ns > 0 && prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(ns), 0, 0, 0) == 0;
}

RealtimeThrottle realtimeThrottle()
{
    RealtimeThrottle throttle;
    const std::int64_t period = readNumber("/proc/sys/kernel/sched_rt_period_us", -1);
    const std::int64_t runtime = readNumber("/proc/sys/kernel/sched_rt_runtime_us", -1);
    if (period > 0)
        throttle.periodNs = period * 1000;
    // -1 in the file is no throttling, as is a runtime of the whole period.
    if (period > 0 && runtime >= 0 && runtime < period)
        throttle.runtimeNs = runtime * 1000;
    return throttle;
}

CpuCounters cpuCounters(int cpu)
{
    CpuCounters now;
    const std::int64_t steal = procfs::stealTicks(readWhole("/proc/stat"), cpu);
    const std::int64_t tick = nanosPerTick();
    if (steal >= 0 && tick > 0)
        now.stealNs = steal * tick;
    now.interrupts = procfs::cpuColumnSum(readWhole("/proc/interrupts"), cpu);
    now.softirqs = procfs::cpuColumnSum(readWhole("/proc/softirqs"), cpu);
    return now;
}

int pinnedCpu()
{
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0 || CPU_COUNT(&allowed) != 1)
        return -1;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &allowed))
            return cpu;
    return -1;
}

bool avoidCpu(int cpu)
{
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0)
        return false;
    if (cpu >= 0 && cpu < CPU_SETSIZE)
        CPU_CLR(cpu, &allowed);
    if (CPU_COUNT(&allowed) == 0)
        return false;
    return sched_setaffinity(0, sizeof allowed, &allowed) == 0;
}

std::string readWhole(const std::string &path)
{
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string tracefsRoot()
{
    for (const char *mount : {"/sys/kernel/tracing", "/sys/kernel/debug/tracing"})
        if (access((std::string(mount) + "/events").c_str(), F_OK) == 0)
            return mount;
    return std::string();
}

TraceAccess decideTraceAccess(const TraceFacts &facts)
{
    TraceAccess access;
    if (facts.openErrno == 0) {
        access.allowed = true;
        return access;
    }
    // An ordinary process may read tracepoints only at paranoid level -1.
    if (!facts.privileged && facts.paranoid > -1) {
        access.reason = "needs root or CAP_PERFMON (kernel.perf_event_paranoid is " +
            (facts.paranoid == 99 ? std::string("unreadable") : std::to_string(facts.paranoid)) +
            ")";
    } else if (!facts.tracefsFound) {
        access.reason = "tracefs is not mounted (mount -t tracefs nodev /sys/kernel/tracing)";
    } else if (!facts.idsReadable) {
        access.reason = "the scheduler tracepoints' ids in tracefs are not readable";
    } else if (facts.openErrno > 0) {
        access.reason = std::string("perf_event_open refused the tracepoints: ") +
            std::strerror(facts.openErrno);
    } else {
        access.reason = "perf_event_open was not tried";
    }
    return access;
}

namespace {

bool hasCapability(const __user_cap_data_struct (&data)[2], int capability)
{
    return (data[capability / 32].effective & (1u << (capability % 32))) != 0;
}

bool privilegedForTracing()
{
    __user_cap_header_struct header{};
    header.version = _LINUX_CAPABILITY_VERSION_3;
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
#ifndef CAP_PERFMON
    constexpr int CAP_PERFMON = 38;
#endif
    return hasCapability(data, CAP_PERFMON) || hasCapability(data, CAP_SYS_ADMIN);
}

// A tracepoint's id, or -1: under the tracefs mount or, on older systems,
// under debugfs.
std::int64_t tracepointId(const std::string &tracefs, const char *event)
{
    return readNumber((tracefs + "/events/sched/" + event + "/id").c_str(), -1);
}

} // namespace

TraceAccess traceAccess(int cpu)
{
    TraceFacts facts;
    facts.privileged = privilegedForTracing();
    facts.paranoid = int(readNumber("/proc/sys/kernel/perf_event_paranoid", 99));
    const std::string tracefs = tracefsRoot();
    facts.tracefsFound = !tracefs.empty();
    std::int64_t switchId = -1, wakingId = -1;
    if (facts.tracefsFound) {
        switchId = tracepointId(tracefs, "sched_switch");
        wakingId = tracepointId(tracefs, "sched_waking");
        facts.idsReadable = switchId >= 0 && wakingId >= 0;
    }
    if (facts.idsReadable) {
        // The real question: one CPU-wide event as the tracer opens it,
        // opened and closed at once.
        const long fd = openTracepoint(switchId, cpu < 0 ? 0 : cpu, -1);
        facts.openErrno = fd >= 0 ? 0 : errno;
        if (fd >= 0)
            close(int(fd));
    }
    return decideTraceAccess(facts);
}

} // namespace platform
