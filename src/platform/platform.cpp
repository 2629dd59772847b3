// SPDX-License-Identifier: MIT
#include "platform.h"

#include "cpufacts.h"

#include <cstring>

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
