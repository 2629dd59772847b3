// SPDX-License-Identifier: MIT
// Linux side of the OS layer.
#include "platform.h"

#include "cpufacts.h"

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/timerfd.h>
#include <sys/utsname.h>

#include <dirent.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <sstream>

struct platform::PeriodicTimer
{
    int fd;
};

namespace platform {
namespace {

constexpr std::int64_t NanosPerSecond = 1000000000;

std::int64_t monotonicNanos()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * NanosPerSecond + now.tv_nsec;
}

timespec toTimespec(std::int64_t nanos)
{
    timespec ts{};
    ts.tv_sec = time_t(nanos / NanosPerSecond);
    ts.tv_nsec = long(nanos % NanosPerSecond);
    return ts;
}

// Linux has no priority classes, and it ignores a thread priority under
// SCHED_OTHER, so the Windows base priority (1..31) of a thread is recreated
// with the scheduler: the realtime range 16..31 becomes SCHED_FIFO rising to
// the top FIFO priority, base 1 becomes SCHED_IDLE, and bases 2..15 become
// nice values falling from +19 (base 2) through 0 (base 8) to -20 (base 15).
const int niceForBase[16] = {0, 19, 19, 16, 13, 10, 6, 3, 0, -3, -6, -9, -11, -14, -17, -20};

void applyBasePriority(pid_t tid, int base)
{
    sched_param param{};
    if (base >= 16) {
        const int low = sched_get_priority_min(SCHED_FIFO);
        const int high = sched_get_priority_max(SCHED_FIFO);
        param.sched_priority = low + ((base - 16) * (high - low) * 2 + 15) / 30;
        sched_setscheduler(tid, SCHED_FIFO, &param);
    } else if (base == 1) {
        sched_setscheduler(tid, SCHED_IDLE, &param);
    } else {
        // Policy first: nice means nothing to a FIFO thread.
        sched_setscheduler(tid, SCHED_OTHER, &param);
        setpriority(PRIO_PROCESS, id_t(tid), niceForBase[base]);
    }
    // Results ignored: without CAP_SYS_NICE the calls fail and nothing changes.
}

class LinuxOs final : public Os
{
public:
    std::int64_t counterFrequency() override { return NanosPerSecond; }

    std::int64_t counterValue() override { return monotonicNanos(); }

    PeriodicTimer *createPeriodicTimer() override
    {
        const int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
        if (fd < 0)
            return nullptr;
        auto *timer = new (std::nothrow) PeriodicTimer{fd};
        if (!timer)
            close(fd);
        return timer;
    }

    bool setPeriodicTimer(PeriodicTimer *timer, int periodMs) override
    {
        if (!timer || periodMs < 0)
            return false;
        // An absolute first expiry of "now" fires at once; a relative zero
        // would disarm the timer instead.
        itimerspec expiries{};
        expiries.it_value = toTimespec(monotonicNanos());
        expiries.it_interval = toTimespec(std::int64_t(periodMs) * 1000000);
        return timerfd_settime(timer->fd, TFD_TIMER_ABSTIME, &expiries, nullptr) == 0;
    }

    void waitPeriodicTimer(PeriodicTimer *timer, std::uint32_t timeoutMs) override
    {
        if (!timer)
            return;
        // poll, then read the expiry count and drop it: expiries that passed
        // while nobody waited are one readable state, so a late caller gets a
        // single immediate return, not one per missed period.
        const bool forever = timeoutMs == UINT32_MAX;
        const std::int64_t deadline = monotonicNanos() + std::int64_t(timeoutMs) * 1000000;
        pollfd pfd{timer->fd, POLLIN, 0};
        for (;;) {
            int waitMs = -1;
            if (!forever) {
                const std::int64_t left = deadline - monotonicNanos();
                waitMs =
                    left <= 0 ? 0 : int(std::min<std::int64_t>((left + 999999) / 1000000, INT_MAX));
            }
            const int ready = poll(&pfd, 1, waitMs);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready > 0 && (pfd.revents & POLLIN)) {
                std::uint64_t expiries = 0;
                if (read(timer->fd, &expiries, sizeof expiries) < 0) {
                    // nothing to do: the next wait sees the timer again
                }
            }
            return;
        }
    }

    void closePeriodicTimer(PeriodicTimer *timer) override
    {
        if (!timer)
            return;
        close(timer->fd);
        delete timer;
    }

    void sleepMs(std::uint32_t ms) override
    {
        // An absolute deadline keeps the sleep whole across signal wake-ups.
        const timespec deadline = toTimespec(monotonicNanos() + std::int64_t(ms) * 1000000);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) { }
    }

    void setProcessClass(ProcessClass processClass) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        currentClass = processClass;
        // A class covers every thread of the process; each keeps its level.
        std::map<pid_t, ThreadLevel> alive;
        std::set<pid_t> stillNormal;
        if (DIR *tasks = opendir("/proc/self/task")) {
            while (dirent *entry = readdir(tasks)) {
                char *end = nullptr;
                const long tid = std::strtol(entry->d_name, &end, 10);
                if (tid <= 0 || *end != '\0')
                    continue;
                if (normalThreads.count(pid_t(tid))) {
                    stillNormal.insert(pid_t(tid));
                    continue;
                }
                const auto known = levels.find(pid_t(tid));
                const ThreadLevel level =
                    known == levels.end() ? ThreadLevel::Normal : known->second;
                if (known != levels.end())
                    alive.insert(*known);
                applyBasePriority(pid_t(tid), windowsBasePriority(processClass, level));
            }
            closedir(tasks);
            levels.swap(alive); // forget threads that have ended
            normalThreads.swap(stillNormal);
        }
    }

    void setCurrentThreadLevel(ThreadLevel level) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        const pid_t tid = gettid();
        normalThreads.erase(tid); // a reused thread id: the level wins
        levels[tid] = level;
        applyBasePriority(tid, windowsBasePriority(currentClass, level));
    }

    // SCHED_OTHER at nice 0, base 8's scheduling, and left out when a class
    // is applied to every thread. Lowering a policy needs no privilege.
    void keepCurrentThreadNormal() override
    {
        std::lock_guard<std::mutex> lock(mutex);
        const pid_t tid = gettid();
        normalThreads.insert(tid);
        applyBasePriority(tid, windowsBasePriority(ProcessClass::Normal, ThreadLevel::Normal));
    }

    ThreadScheduling currentThreadScheduling() override
    {
        ThreadScheduling granted;
        const pid_t tid = gettid();
        const int policy = sched_getscheduler(tid);
        switch (policy) {
        case SCHED_FIFO:
            granted.policy = "SCHED_FIFO";
            break;
        case SCHED_RR:
            granted.policy = "SCHED_RR";
            break;
        case SCHED_OTHER:
            granted.policy = "SCHED_OTHER";
            break;
        case SCHED_BATCH:
            granted.policy = "SCHED_BATCH";
            break;
        case SCHED_IDLE:
            granted.policy = "SCHED_IDLE";
            break;
        default:
            granted.policy = policy < 0 ? "unknown" : "policy " + std::to_string(policy);
            break;
        }
        sched_param param{};
        if (sched_getparam(tid, &param) == 0)
            granted.priority = param.sched_priority;
        // -1 is a valid nice value, so errno tells a failure apart.
        errno = 0;
        const int nice = getpriority(PRIO_PROCESS, id_t(tid));
        if (errno == 0)
            granted.nice = nice;
        return granted;
    }

    // The closest Linux has to a finer system timer is the timer slack of a
    // thread: the kernel may delay a sleeper's wake-up by up to the slack
    // (50 us by default) to batch wake-ups. A slack of 1 ns wakes sleepers on
    // time; threads created afterwards inherit it, and writing 0 restores the
    // thread's default. Requests outside Windows' accepted range (1 ms up) are
    // refused as Windows refuses them.
    void beginTimerResolution(std::uint32_t periodMs) override
    {
        if (accepted(periodMs))
            prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    }

    void endTimerResolution(std::uint32_t periodMs) override
    {
        if (accepted(periodMs))
            prctl(PR_SET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL);
    }

private:
    static bool accepted(std::uint32_t periodMs) { return periodMs >= 1 && periodMs <= 1000000; }

    std::mutex mutex;
    ProcessClass currentClass = ProcessClass::Normal;
    std::map<pid_t, ThreadLevel> levels; // threads whose level was set; the rest are Normal
    std::set<pid_t> normalThreads;       // kept at normal scheduling in every class
};

sigset_t stopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

} // namespace

Os &nativeOs()
{
    static LinuxOs layer;
    return layer;
}

// Threads inherit the signal mask of the thread that creates them, so with
// the signals blocked first no thread ever runs a handler: the worker is
// never interrupted mid-wait, and the waiting thread takes the signal as
// data with sigtimedwait.
void catchStopRequests()
{
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool waitForStopRequest(std::uint32_t timeoutMs)
{
    const sigset_t set = stopSignals();
    const timespec timeout = toTimespec(std::int64_t(timeoutMs) * 1000000);
    // EAGAIN is the timeout; EINTR (some other signal) counts as one too,
    // and the caller simply waits again.
    return sigtimedwait(&set, nullptr, &timeout) > 0;
}

namespace {

// The first line of a file, without its line end; empty if it cannot be read.
std::string firstLine(const std::string &path)
{
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\n'))
        line.pop_back();
    return line;
}

// The value of the first "key : value" line of /proc/cpuinfo with this key.
std::string cpuinfoValue(const std::string &key)
{
    std::ifstream file("/proc/cpuinfo");
    std::string line;
    while (std::getline(file, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string name = line.substr(0, colon);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
            name.pop_back();
        if (name == key)
            return line.substr(std::min(line.size(), colon + 2));
    }
    return std::string();
}

} // namespace

MachineFacts machineFacts()
{
    MachineFacts facts;
    utsname names{};
    facts.kernel = uname(&names) == 0
        ? std::string(names.sysname) + " " + names.release + " " + names.version
        : "unknown";

    // The kernel keeps its clocksource devices under this folder (one,
    // clocksource0, on every machine seen); the first that names its
    // current one is the system's.
    facts.clockSource = "unknown";
    const std::string folder = "/sys/devices/system/clocksource/";
    if (DIR *devices = opendir(folder.c_str())) {
        while (dirent *entry = readdir(devices)) {
            if (entry->d_name[0] == '.')
                continue;
            const std::string current = firstLine(folder + entry->d_name + "/current_clocksource");
            if (current.empty())
                continue;
            facts.clockSource = current;
            facts.availableClockSources =
                firstLine(folder + entry->d_name + "/available_clocksource");
            break;
        }
        closedir(devices);
    }

    const detail::CpuFacts cpu = detail::cpuFacts();
    facts.cpuModel = cpuinfoValue("model name");
    if (facts.cpuModel.empty())
        facts.cpuModel = cpu.brand.empty() ? "unknown" : cpu.brand;
    facts.cpuCount = int(std::max(0L, sysconf(_SC_NPROCESSORS_ONLN)));

    // The CPU's hypervisor bit (also /proc/cpuinfo's "hypervisor" flag), or
    // /sys/hypervisor/type, which Xen guests have even without the bit.
    const std::string xenType = firstLine("/sys/hypervisor/type");
    std::istringstream flags(" " + cpuinfoValue("flags") + " ");
    bool flagged = false;
    for (std::string flag; flags >> flag;)
        flagged = flagged || flag == "hypervisor";
    if (cpu.hypervisor || flagged || !xenType.empty())
        facts.hypervisor = "yes";
    else
        facts.hypervisor = cpu.known ? "no" : "unknown";
    facts.hypervisorSignature = cpu.signature;
    facts.hypervisorVendor =
        !cpu.signature.empty() ? detail::hypervisorName(cpu.signature) : xenType;
    return facts;
}

// /proc/stat's first line sums every CPU: "cpu user nice system idle iowait
// irq softirq steal ...", in clock ticks (USER_HZ) since boot.
std::int64_t stealNanos()
{
    std::istringstream line(firstLine("/proc/stat"));
    std::string label;
    line >> label;
    std::int64_t value = 0;
    for (int field = 1; field <= 8 && (line >> value); ++field) {
        if (field == 8) {
            const long ticksPerSecond = sysconf(_SC_CLK_TCK);
            if (label != "cpu" || ticksPerSecond <= 0)
                return -1;
            return value * (NanosPerSecond / ticksPerSecond);
        }
    }
    return -1;
}

} // namespace platform
