// SPDX-License-Identifier: MIT
// Linux side of the OS layer: facts about the machine and the time stolen
// from it.
#include "linuxos.h"

#include "cpufacts.h"

#include <sys/utsname.h>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace platform {

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
