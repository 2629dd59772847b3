// SPDX-License-Identifier: MIT
// Linux: the scheduler trace. Tracepoints through perf_event_open, one
// group per CPU writing into one ring, stamped on CLOCK_MONOTONIC like the
// spikes. Field offsets come from each tracepoint's format file, since they
// change between kernels.
#include "linuxos.h"

#include <linux/perf_event.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>

namespace platform {

TraceField TraceFormat::field(const std::string &name) const
{
    for (const auto &known : fields)
        if (known.first == name)
            return known.second;
    return TraceField();
}

namespace tracefs {

TraceFormat parseFormat(const std::string &text)
{
    TraceFormat format;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 3, "ID:") == 0) {
            std::istringstream number(line.substr(3));
            std::int64_t id = -1;
            if (number >> id)
                format.id = id;
            continue;
        }
        // "\tfield:char prev_comm[16];\toffset:8;\tsize:16;\tsigned:0;"
        const auto start = line.find("field:");
        const auto declEnd = line.find(';', start);
        const auto offsetAt = line.find("offset:", declEnd);
        const auto sizeAt = line.find("size:", declEnd);
        if (start == std::string::npos || declEnd == std::string::npos ||
            offsetAt == std::string::npos || sizeAt == std::string::npos)
            continue;
        const std::string decl = line.substr(start + 6, declEnd - start - 6);
        const auto nameAt = decl.find_last_of(" \t");
        if (nameAt == std::string::npos)
            continue;
        std::string name = decl.substr(nameAt + 1);
        name = name.substr(0, name.find('['));
        TraceField field;
        field.offset = std::atoi(line.c_str() + offsetAt + 7);
        field.size = std::atoi(line.c_str() + sizeAt + 5);
        field.dataLoc = decl.compare(0, 10, "__data_loc") == 0;
        if (name.empty() || field.offset < 0 || field.size <= 0)
            continue;
        format.fields.emplace_back(name, field);
    }
    if (format.fields.empty())
        format.id = -1;
    return format;
}

namespace {

bool readInt(const TraceField &field, const unsigned char *raw, std::size_t size,
             std::int64_t &value)
{
    if (field.offset < 0 || std::size_t(field.offset) + std::size_t(field.size) > size)
        return false;
    const unsigned char *at = raw + field.offset;
    switch (field.size) {
    case 1:
        value = std::int8_t(*at);
        return true;
    case 2: {
        std::int16_t v;
        std::memcpy(&v, at, 2);
        value = v;
        return true;
    }
    case 4: {
        std::int32_t v;
        std::memcpy(&v, at, 4);
        value = v;
        return true;
    }
    case 8:
        std::memcpy(&value, at, 8);
        return true;
    }
    return false;
}

bool readText(const TraceField &field, const unsigned char *raw, std::size_t size, char (&into)[16])
{
    if (field.offset < 0 || std::size_t(field.offset) + std::size_t(field.size) > size)
        return false;
    std::size_t from = std::size_t(field.offset);
    std::size_t length = std::size_t(field.size);
    if (field.dataLoc) {
        std::uint32_t loc = 0;
        std::memcpy(&loc, raw + field.offset, 4);
        from = loc & 0xffffu;
        length = loc >> 16;
        if (from + length > size)
            return false;
    }
    const std::size_t n = std::min<std::size_t>(length, sizeof into - 1);
    std::memcpy(into, raw + from, n);
    into[n] = '\0';
    return true;
}

} // namespace

bool decodeRaw(TraceKind kind, const TraceFormat &format, const unsigned char *raw,
               std::size_t size, TraceRecord &into)
{
    std::int64_t a = 0, b = 0, c = 0;
    switch (kind) {
    case TraceKind::Switch: {
        std::int64_t d = 0;
        if (!readText(format.field("prev_comm"), raw, size, into.prevComm) ||
            !readText(format.field("next_comm"), raw, size, into.nextComm) ||
            !readInt(format.field("prev_pid"), raw, size, a) ||
            !readInt(format.field("prev_prio"), raw, size, b) ||
            !readInt(format.field("next_pid"), raw, size, c) ||
            !readInt(format.field("next_prio"), raw, size, d))
            return false;
        into.prevPid = std::int32_t(a);
        into.prevPrio = std::int32_t(b);
        into.nextPid = std::int32_t(c);
        into.nextPrio = std::int32_t(d);
        std::int64_t state = 0;
        if (readInt(format.field("prev_state"), raw, size, state))
            into.prevState = state;
        return true;
    }
    case TraceKind::Waking:
        if (!readText(format.field("comm"), raw, size, into.nextComm) ||
            !readInt(format.field("pid"), raw, size, a) ||
            !readInt(format.field("prio"), raw, size, b))
            return false;
        into.nextPid = std::int32_t(a);
        into.nextPrio = std::int32_t(b);
        return true;
    case TraceKind::IrqEntry:
    case TraceKind::IrqExit:
    case TraceKind::SoftirqEntry:
    case TraceKind::SoftirqExit: {
        // The interrupt's line, or the softirq's vector.
        const bool irq = kind == TraceKind::IrqEntry || kind == TraceKind::IrqExit;
        if (!readInt(format.field(irq ? "irq" : "vec"), raw, size, a))
            return false;
        into.number = std::int32_t(a);
        return true;
    }
    }
    return false;
}

} // namespace tracefs

namespace {

// 2 MiB a CPU: about 23,000 records, a busy CPU's 100 ms between drains
// (seen here: 66,000 switches and softirqs a second). Halved while the
// kernel refuses (perf_event_mlock_kb limits all but root), down to 32 KiB.
constexpr std::size_t RingPages = 512;
constexpr std::size_t FewestRingPages = 8;

struct Tracepoint
{
    TraceKind kind;
    const char *path; // under events/
};
constexpr Tracepoint Scheduler[] = {{TraceKind::Switch, "sched/sched_switch"},
                                    {TraceKind::Waking, "sched/sched_waking"}};
constexpr Tracepoint Interrupts[] = {{TraceKind::IrqEntry, "irq/irq_handler_entry"},
                                     {TraceKind::IrqExit, "irq/irq_handler_exit"},
                                     {TraceKind::SoftirqEntry, "irq/softirq_entry"},
                                     {TraceKind::SoftirqExit, "irq/softirq_exit"}};

} // namespace

long openTracepoint(std::int64_t id, int cpu, int group)
{
    perf_event_attr attr{};
    attr.size = sizeof attr;
    attr.type = PERF_TYPE_TRACEPOINT;
    attr.config = std::uint64_t(id);
    attr.sample_period = 1;
    attr.sample_type = PERF_SAMPLE_TIME | PERF_SAMPLE_RAW; // the ring is the CPU's
    attr.disabled = group < 0 ? 1 : 0;
    attr.use_clockid = 1;
    attr.clockid = CLOCK_MONOTONIC;
    return syscall(SYS_perf_event_open, &attr, -1, cpu, group, PERF_FLAG_FD_CLOEXEC);
}

struct TraceSession::Rings
{
    struct Ring
    {
        int cpu = -1;
        std::vector<int> fds; // the leader first
        void *map = nullptr;
        std::size_t mapBytes = 0;
    };
    std::vector<Ring> rings;
    std::vector<std::pair<TraceKind, TraceFormat>> formats;
    std::vector<unsigned char> wrapped; // a record split by the ring's end

    ~Rings()
    {
        for (Ring &ring : rings) {
            if (ring.map)
                munmap(ring.map, ring.mapBytes);
            for (const int fd : ring.fds)
                ::close(fd);
        }
    }
    const TraceFormat *format(std::uint16_t type, TraceKind &kind) const
    {
        for (const auto &known : formats) {
            if (known.second.id == type) {
                kind = known.first;
                return &known.second;
            }
        }
        return nullptr;
    }
};

TraceSession::TraceSession() = default;

TraceSession::~TraceSession()
{
    close();
}

bool TraceSession::open(const CpuList &cpus, std::int64_t wakingThreadId)
{
    close();
    if (cpus.empty()) {
        reason = "the CPUs to trace are not known";
        return false;
    }
    const TraceAccess access = traceAccess(cpus.front());
    if (!access.allowed) {
        reason = access.reason;
        return false;
    }
    const std::string root = tracefsRoot();
    const auto formatOf = [&root](const Tracepoint &point) {
        return tracefs::parseFormat(readWhole(root + "/events/" + point.path + "/format"));
    };
    auto made = std::make_unique<Rings>();
    for (const Tracepoint &point : Scheduler) {
        TraceFormat format = formatOf(point);
        if (format.id < 0) {
            reason = std::string("the format of ") + point.path + " in tracefs is not readable";
            return false;
        }
        made->formats.emplace_back(point.kind, format);
    }
    bool interrupts = true;
    for (const Tracepoint &point : Interrupts) {
        TraceFormat format = formatOf(point);
        interrupts = interrupts && format.id >= 0;
        made->formats.emplace_back(point.kind, format);
    }
    const long page = sysconf(_SC_PAGESIZE);
    const std::string filter = "pid == " + std::to_string(wakingThreadId);
    for (const int cpu : cpus) {
        Rings::Ring ring;
        ring.cpu = cpu;
        const long leader = openTracepoint(made->formats[0].second.id, cpu, -1);
        if (leader < 0) {
            reason = "perf_event_open refused sched_switch on CPU " + std::to_string(cpu) + ": " +
                std::strerror(errno);
            return false;
        }
        ring.fds.push_back(int(leader));
        ring.map = MAP_FAILED;
        for (std::size_t pages = RingPages; ring.map == MAP_FAILED && pages >= FewestRingPages;
             pages /= 2) {
            ring.mapBytes = std::size_t(page) * (pages + 1);
            ring.map =
                mmap(nullptr, ring.mapBytes, PROT_READ | PROT_WRITE, MAP_SHARED, int(leader), 0);
        }
        if (ring.map == MAP_FAILED) {
            ring.map = nullptr;
            reason = std::string("the trace ring could not be mapped: ") + std::strerror(errno);
            made->rings.push_back(ring);
            return false;
        }
        // The other tracepoints join the leader's group and write to its ring.
        const auto join = [&](std::int64_t id) {
            const long fd = openTracepoint(id, cpu, int(leader));
            if (fd < 0)
                return -1;
            ring.fds.push_back(int(fd));
            return ioctl(int(fd), PERF_EVENT_IOC_SET_OUTPUT, int(leader)) == 0 ? int(fd) : -1;
        };
        const int waking = join(made->formats[1].second.id);
        if (waking < 0) {
            reason = "perf_event_open refused sched_waking on CPU " + std::to_string(cpu) + ": " +
                std::strerror(errno);
            made->rings.push_back(ring);
            return false;
        }
        // Only the worker's wakings matter; a kernel without filters sends all.
        if (wakingThreadId >= 0)
            ioctl(waking, PERF_EVENT_IOC_SET_FILTER, filter.c_str());
        for (std::size_t i = 2; interrupts && i < made->formats.size(); ++i)
            interrupts = join(made->formats[i].second.id) >= 0;
        made->rings.push_back(ring);
    }
    // Interrupts on every CPU or on none: a half-traced window misleads.
    if (!interrupts) {
        for (Rings::Ring &ring : made->rings) {
            for (std::size_t i = 2; i < ring.fds.size(); ++i)
                ::close(ring.fds[i]);
            ring.fds.resize(std::min<std::size_t>(ring.fds.size(), 2));
        }
    }
    for (Rings::Ring &ring : made->rings)
        ioctl(ring.fds.front(), PERF_EVENT_IOC_ENABLE, PERF_IOC_FLAG_GROUP);
    made->wrapped.reserve(4096);
    rings = std::move(made);
    withInterrupts = interrupts;
    reason.clear();
    lostRecords = 0;
    return true;
}

void TraceSession::drain(std::vector<TraceRecord> &into)
{
    if (!rings)
        return;
    const long page = sysconf(_SC_PAGESIZE);
    for (Rings::Ring &ring : rings->rings) {
        auto *meta = static_cast<perf_event_mmap_page *>(ring.map);
        const unsigned char *data = static_cast<const unsigned char *>(ring.map) +
            (meta->data_offset ? meta->data_offset : std::uint64_t(page));
        const std::uint64_t size =
            meta->data_size ? meta->data_size : ring.mapBytes - std::uint64_t(page);
        const std::uint64_t head = __atomic_load_n(&meta->data_head, __ATOMIC_ACQUIRE);
        std::uint64_t tail = meta->data_tail;
        while (tail + sizeof(perf_event_header) <= head) {
            perf_event_header header;
            const unsigned char *at = data + tail % size;
            // A record may run past the ring's end: copied whole first.
            const std::uint64_t room = size - tail % size;
            if (room < sizeof header) {
                rings->wrapped.resize(sizeof header);
                std::memcpy(rings->wrapped.data(), at, room);
                std::memcpy(rings->wrapped.data() + room, data, sizeof header - room);
                std::memcpy(&header, rings->wrapped.data(), sizeof header);
            } else {
                std::memcpy(&header, at, sizeof header);
            }
            if (header.size < sizeof header || tail + header.size > head)
                break;
            if (room < header.size) {
                rings->wrapped.resize(header.size);
                std::memcpy(rings->wrapped.data(), at, room);
                std::memcpy(rings->wrapped.data() + room, data, header.size - room);
                at = rings->wrapped.data();
            }
            const unsigned char *body = at + sizeof header;
            const std::size_t bodySize = header.size - sizeof header;
            if (header.type == PERF_RECORD_LOST && bodySize >= 16) {
                std::uint64_t lost = 0;
                std::memcpy(&lost, body + 8, 8);
                lostRecords += lost;
            } else if (header.type == PERF_RECORD_SAMPLE && bodySize >= 12) {
                // time (u64), raw size (u32), raw.
                std::uint64_t time = 0;
                std::uint32_t rawSize = 0;
                std::memcpy(&time, body, 8);
                std::memcpy(&rawSize, body + 8, 4);
                const unsigned char *raw = body + 12;
                std::uint16_t type = 0;
                if (rawSize >= 2 && 12 + std::size_t(rawSize) <= bodySize) {
                    std::memcpy(&type, raw, 2);
                    TraceRecord record;
                    const TraceFormat *format = rings->format(type, record.kind);
                    record.timeNs = std::int64_t(time);
                    record.cpu = ring.cpu;
                    if (format && tracefs::decodeRaw(record.kind, *format, raw, rawSize, record))
                        into.push_back(record);
                }
            }
            tail += header.size;
        }
        __atomic_store_n(&meta->data_tail, tail, __ATOMIC_RELEASE);
    }
}

void TraceSession::close()
{
    rings.reset();
    withInterrupts = false;
}

} // namespace platform
