// SPDX-License-Identifier: MIT
// Linux side of the OS layer: CPUs, memory locking and power states.
#include "linuxos.h"

#include <linux/capability.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace platform {
namespace {

CpuList cpusOf(const cpu_set_t &set)
{
    CpuList cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &set))
            cpus.push_back(cpu);
    }
    return cpus;
}

CpuList affinityOf(pid_t tid)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    return sched_getaffinity(tid, sizeof set, &set) == 0 ? cpusOf(set) : CpuList();
}

// mlockall is the whole process's: several runs at once (one per CPU) share
// it, and the last to release unlocks.
std::mutex memoryLockMutex;
int memoryLockHolders = 0;

// The process's CPUs as it was started (taskset, a cpuset), read before
// main: a thread pinned later, the main thread too, does not narrow them.
const CpuList startingCpus = affinityOf(0);

} // namespace

CpuList allowedCpus()
{
    return startingCpus.empty() ? affinityOf(getpid()) : startingCpus;
}

CpuList currentThreadCpus()
{
    return affinityOf(0);
}

Outcome pinCurrentThread(int cpu)
{
    Outcome outcome;
    const CpuListParse check = parseCpuList(std::to_string(cpu), allowedCpus());
    if (cpu < 0 || !check.error.empty()) {
        outcome.detail = cpu < 0 ? "CPU " + std::to_string(cpu) + " is no CPU" : check.error;
        return outcome;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    const int error = pthread_setaffinity_np(pthread_self(), sizeof set, &set);
    if (error != 0) {
        outcome.detail = "not pinned to CPU " + std::to_string(cpu) + ": " + errorText(error);
        return outcome;
    }
    outcome.granted = currentThreadCpus() == CpuList{cpu};
    outcome.detail = "pinned to CPU " + std::to_string(cpu);
    return outcome;
}

std::size_t pageSize()
{
    const long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? std::size_t(size) : 4096;
}

void useSmallThreadStacks()
{
    // Threads made without a size of their own (std::thread, QThread's
    // default) take the process's default attributes.
    pthread_attr_t attr;
    if (pthread_getattr_default_np(&attr) != 0)
        return;
    if (pthread_attr_setstacksize(&attr, std::size_t(1) << 20) == 0)
        pthread_setattr_default_np(&attr);
    pthread_attr_destroy(&attr);
}

const Outcome &MemoryLock::acquire(const std::vector<MemoryRegion> &)
{
    if (outcome.granted)
        return outcome;
    rlimit limit{};
    const bool limited = getrlimit(RLIMIT_MEMLOCK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY;
    if (limited && !holdsCapability(CAP_IPC_LOCK)) {
        // With MCL_FUTURE under a finite limit, any mapping past the limit
        // fails (mmap, brk and thread stacks with ENOMEM): better unlocked.
        outcome.detail = "not locked: RLIMIT_MEMLOCK is " + std::to_string(limit.rlim_cur / 1024) +
            " kB and the process lacks CAP_IPC_LOCK; run it with CAP_IPC_LOCK (sudo setcap "
            "cap_ipc_lock+ep on the program) or give this user \"memlock unlimited\" in "
            "/etc/security/limits.d";
        return outcome;
    }
    std::lock_guard<std::mutex> lock(memoryLockMutex);
    if (memoryLockHolders == 0 && mlockall(MCL_CURRENT | MCL_FUTURE) != 0) {
        outcome.detail = "not locked: mlockall: " + errorText(errno);
        return outcome;
    }
    ++memoryLockHolders;
    outcome.granted = true;
    outcome.detail = "locked (mlockall, current and future pages)";
    return outcome;
}

void MemoryLock::release()
{
    if (!outcome.granted)
        return;
    std::lock_guard<std::mutex> lock(memoryLockMutex);
    if (--memoryLockHolders == 0)
        munlockall();
    outcome = Outcome();
}

const Outcome &PowerStateHold::acquire(std::int32_t latencyUs)
{
    if (outcome.granted)
        return outcome;
    outcome = Outcome();
    if (latencyUs < 0) {
        outcome.detail = "a latency of " + std::to_string(latencyUs) + " us is none";
        return outcome;
    }
    const char *const device = "/dev/cpu_dma_latency";
    const int fd = open(device, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        outcome.detail = std::string("not held: cannot open ") + device + ": " + errorText(error);
        if (error == EACCES || error == EPERM)
            outcome.detail += "; run as root, or let this user write it (a udev rule such as "
                              "KERNEL==\"cpu_dma_latency\", GROUP=\"audio\", MODE=\"0660\" and "
                              "the user in that group)";
        return outcome;
    }
    // The kernel takes the request as a binary 32-bit value (or hex text)
    // and keeps it until the descriptor is closed.
    const ssize_t written = write(fd, &latencyUs, sizeof latencyUs);
    if (written != ssize_t(sizeof latencyUs)) {
        outcome.detail = std::string("not held: writing ") + device + ": " +
            (written < 0 ? errorText(errno) : "short write");
        close(fd);
        return outcome;
    }
    handle = fd;
    outcome.granted = true;
    outcome.detail = "held at " + std::to_string(latencyUs) + " us (" + device + ")";
    return outcome;
}

void PowerStateHold::release()
{
    if (handle >= 0)
        close(int(handle));
    handle = -1;
    outcome = Outcome();
}

} // namespace platform
