// SPDX-License-Identifier: MIT
// What the CPU itself says about the machine (x86's cpuid instruction), for
// every OS's machineFacts. Not part of the layer's interface.
#pragma once

#include <string>

namespace platform {
namespace detail {

struct CpuFacts
{
    bool known = false;      // an x86 CPU that answered
    std::string brand;       // e.g. "Intel(R) Xeon(R) Processor"; empty if it names none
    bool hypervisor = false; // leaf 1, ECX bit 31: "running under a hypervisor"
    std::string signature;   // leaf 0x40000000: the hypervisor's 12-byte vendor id
};

CpuFacts cpuFacts();

// A common name for a hypervisor signature ("KVMKVMKVM" is "KVM"); the
// signature itself when it is not a known one.
std::string hypervisorName(const std::string &signature);

} // namespace detail
} // namespace platform
