// SPDX-License-Identifier: MIT
#include "platform.h"

#include "cpufacts.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#if defined(_WIN32)
#include <malloc.h>
#else
#include <alloca.h>
#endif

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#define VANTREL_CPUID_GCC
#elif defined(_M_IX86) || defined(_M_X64)
#include <intrin.h>
#define VANTREL_CPUID_MSVC
#endif

namespace platform {

std::atomic<Os *> detail::installedLayer{&nativeOs()};

Os::~Os() = default;

Os *install(Os *layer)
{
    Os *const native = &nativeOs();
    Os *const previous =
        detail::installedLayer.exchange(layer ? layer : native, std::memory_order_acq_rel);
    return previous == native ? nullptr : previous;
}

int windowsBasePriority(ProcessClass processClass, ThreadLevel level)
{
    // Windows' "Scheduling Priorities" table: a class gives a base, the level
    // moves up to two steps around it; Idle and Time Critical pin the ends of
    // the class's range (1 and 15, or 16 and 31 in the realtime class).
    static const int table[4][7] = {
        //  Idle Lowest Below Normal Above Highest TimeCrit
        {1, 2, 3, 4, 5, 6, 15},       // Idle class
        {1, 6, 7, 8, 9, 10, 15},      // Normal class
        {1, 11, 12, 13, 14, 15, 15},  // High class
        {16, 22, 23, 24, 25, 26, 31}, // Realtime class
    };
    return table[static_cast<int>(processClass)][static_cast<int>(level)];
}

std::string formatCpuList(const CpuList &cpus)
{
    std::string text;
    for (std::size_t i = 0; i < cpus.size();) {
        std::size_t last = i;
        while (last + 1 < cpus.size() && cpus[last + 1] == cpus[last] + 1)
            ++last;
        if (!text.empty())
            text += ',';
        text += std::to_string(cpus[i]);
        if (last > i)
            text += '-' + std::to_string(cpus[last]);
        i = last + 1;
    }
    return text;
}

CpuListParse parseCpuList(const std::string &text, const CpuList &allowed)
{
    CpuListParse parsed;
    if (text == "all") {
        parsed.cpus = allowed;
        if (allowed.empty())
            parsed.error = "the OS does not say which CPUs this process may use";
        return parsed;
    }
    // Numbers beyond what an affinity mask holds (glibc's CPU_SETSIZE) are
    // no CPU's.
    const long highest = 1023;
    const auto number = [&](std::size_t &at, long &value) {
        const std::size_t start = at;
        value = 0;
        while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) &&
               value <= highest)
            value = value * 10 + (text[at++] - '0');
        return at > start && value <= highest;
    };
    CpuList cpus;
    std::size_t at = 0;
    for (;;) {
        long first = 0, last = 0;
        if (!number(at, first)) {
            parsed.error = "\"" + text + "\" is not a CPU list (e.g. 0 or 0,2-3 or all)";
            return parsed;
        }
        last = first;
        if (at < text.size() && text[at] == '-') {
            ++at;
            if (!number(at, last) || last < first) {
                parsed.error = "\"" + text + "\" is not a CPU list (e.g. 0 or 0,2-3 or all)";
                return parsed;
            }
        }
        for (long cpu = first; cpu <= last; ++cpu)
            cpus.push_back(int(cpu));
        if (at == text.size())
            break;
        if (text[at++] != ',') {
            parsed.error = "\"" + text + "\" is not a CPU list (e.g. 0 or 0,2-3 or all)";
            return parsed;
        }
    }
    std::sort(cpus.begin(), cpus.end());
    cpus.erase(std::unique(cpus.begin(), cpus.end()), cpus.end());
    for (int cpu : cpus) {
        if (!std::binary_search(allowed.begin(), allowed.end(), cpu)) {
            parsed.error = "CPU " + std::to_string(cpu) +
                " is not one this process may use (it may use " +
                (allowed.empty() ? std::string("none the OS names") : formatCpuList(allowed)) + ")";
            return parsed;
        }
    }
    parsed.cpus = cpus;
    return parsed;
}

void prefault(const MemoryRegion &region)
{
    volatile char *bytes = static_cast<volatile char *>(region.start);
    if (!bytes || region.bytes == 0)
        return;
    const std::size_t page = pageSize();
    // A read alone may map the shared zero page; the write gives the page
    // its own frame.
    for (std::size_t at = 0; at < region.bytes; at += page)
        bytes[at] = bytes[at];
    bytes[region.bytes - 1] = bytes[region.bytes - 1];
}

#if defined(__GNUC__)
__attribute__((noinline))
#endif
void prefaultStack(std::size_t bytes)
{
    // alloca takes the stretch just below this frame, which the caller's
    // later calls reuse.
    prefault({alloca(bytes), bytes});
}

bool parsePolicy(const std::string &text, Policy &policy)
{
    static const struct
    {
        const char *name;
        Policy policy;
    } names[] = {{"fifo", Policy::Fifo},
                 {"rr", Policy::RoundRobin},
                 {"other", Policy::Other},
                 {"batch", Policy::Batch},
                 {"idle", Policy::Idle}};
    for (const auto &entry : names) {
        if (text == entry.name) {
            policy = entry.policy;
            return true;
        }
    }
    return false;
}

std::string policyName(Policy policy)
{
    switch (policy) {
    case Policy::Fifo:
        return "SCHED_FIFO";
    case Policy::RoundRobin:
        return "SCHED_RR";
    case Policy::Other:
        return "SCHED_OTHER";
    case Policy::Batch:
        return "SCHED_BATCH";
    case Policy::Idle:
        return "SCHED_IDLE";
    }
    return "unknown";
}

namespace detail {

namespace {

#if defined(VANTREL_CPUID_GCC) || defined(VANTREL_CPUID_MSVC)
// EAX, EBX, ECX, EDX of one leaf. Leaves the CPU does not have answer with
// the highest basic leaf's values, so callers check the maximum first.
void cpuid(unsigned leaf, unsigned regs[4])
{
#ifdef VANTREL_CPUID_GCC
    __cpuid(leaf, regs[0], regs[1], regs[2], regs[3]);
#else
    int out[4] = {};
    __cpuid(out, int(leaf));
    for (int i = 0; i < 4; ++i)
        regs[i] = unsigned(out[i]);
#endif
}
#endif

std::string trimmed(const std::string &text)
{
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

} // namespace

CpuFacts cpuFacts()
{
    CpuFacts facts;
#if defined(VANTREL_CPUID_GCC) || defined(VANTREL_CPUID_MSVC)
    unsigned regs[4] = {};
    cpuid(0, regs);
    if (regs[0] < 1)
        return facts;
    facts.known = true;
    cpuid(1, regs);
    facts.hypervisor = (regs[2] >> 31) & 1u;
    // Intel and AMD reserve leaves 0x40000000-0x400000FF for hypervisors;
    // one that sets the bit above answers the first with its vendor id.
    if (facts.hypervisor) {
        cpuid(0x40000000u, regs);
        char vendor[13] = {};
        std::memcpy(vendor, &regs[1], 4);
        std::memcpy(vendor + 4, &regs[2], 4);
        std::memcpy(vendor + 8, &regs[3], 4);
        facts.signature = trimmed(std::string(vendor, std::strlen(vendor)));
    }
    cpuid(0x80000000u, regs);
    if (regs[0] >= 0x80000004u) {
        char brand[49] = {};
        for (unsigned i = 0; i < 3; ++i) {
            cpuid(0x80000002u + i, regs);
            std::memcpy(brand + 16 * i, regs, 16);
        }
        facts.brand = trimmed(brand);
    }
#endif
    return facts;
}

std::string hypervisorName(const std::string &signature)
{
    static const char *const names[][2] = {
        {"KVMKVMKVM", "KVM"},     {"Microsoft Hv", "Hyper-V"},  {"VMwareVMware", "VMware"},
        {"XenVMMXenVMM", "Xen"},  {"TCGTCGTCGTCG", "QEMU TCG"}, {"VBoxVBoxVBox", "VirtualBox"},
        {"bhyve bhyve", "bhyve"}, {"ACRNACRNACRN", "ACRN"},     {"lrpepyh  vr", "Parallels"},
        {"QNXQVMBSQG", "QNX"},
    };
    for (const auto &entry : names) {
        if (signature == entry[0])
            return entry[1];
    }
    return signature;
}

} // namespace detail

} // namespace platform
