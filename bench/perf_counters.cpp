#include "perf_counters.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

const CounterEvent counter_events[3] = {
    {"cycles", PERF_TYPE_HARDWARE, PERF_COUNT_HW_CPU_CYCLES, ""},
    {"instructions", PERF_TYPE_HARDWARE, PERF_COUNT_HW_INSTRUCTIONS, ""},
    {"task-clock", PERF_TYPE_SOFTWARE, PERF_COUNT_SW_TASK_CLOCK, " ns"},
};

const char* const user_and_kernel = "user + kernel: this core's PMU cannot count user space alone";

namespace {

constexpr std::size_t task_clock = 2;

std::string paranoid_text(std::optional<int> paranoid)
{
    return "kernel.perf_event_paranoid is " + (paranoid ? std::to_string(*paranoid) : std::string("unknown"));
}

// How Cortex-A5, A8 and A9 PMUs, which have no event filter, refuse an event
// that excludes the kernel: EINVAL since Linux 5.0, EOPNOTSUPP or EPERM before.
bool exclude_refusal(int error)
{
    return error == EINVAL || error == EOPNOTSUPP || error == EPERM;
}

}  // namespace

std::optional<int> perf_paranoid(const System& system)
{
    const auto value = number_in(system, "/proc/sys/kernel/perf_event_paranoid");
    return value ? std::optional<int>(static_cast<int>(*value)) : std::nullopt;
}

std::string counter_failure(int error, std::optional<int> paranoid)
{
    std::string why = std::string("perf_event_open: ") + std::strerror(error);
    switch (error) {
    case ENOENT:
        return why +
               " (the kernel has no such event for this CPU: no PMU driver "
               "for it, or a virtual machine "
               "without one)";
    case ENODEV: return why + " (the event's PMU does not serve this CPU)";
    case EOPNOTSUPP:
        return why +
               " (the PMU cannot count the event as asked: before Linux 5.0, "
               "a Cortex-A5, A8 or A9 refuses "
               "to count user space alone)";
    case EINVAL:
        return why +
               " (the kernel refuses the event as asked: since Linux 5.0, a "
               "Cortex-A5, A8 or A9 PMU refuses "
               "to count user space alone)";
    case EACCES:
        return why + " (" + paranoid_text(paranoid) +
               ", which forbids this user any event: run as root, or sudo sysctl "
               "kernel.perf_event_paranoid=2)";
    case EPERM:
        if (paranoid && *paranoid <= 2)
            return why + " (" + paranoid_text(paranoid) +
                   ", which allows it: kernels before 5.0 say this when a Cortex-A5, "
                   "A8 or A9 PMU cannot count user "
                   "space alone)";
        return why + " (" + paranoid_text(paranoid) +
               ": over 2 forbids a normal user any event; run as root, or sudo "
               "sysctl kernel.perf_event_paranoid=2)";
    case ENOSYS: return why + " (the kernel, or an emulator in between, offers no perf events)";
    case EBUSY: return why + " (another user holds the PMU: a perf session, or the NMI watchdog)";
    default: return why;
    }
}

CounterGroup::CounterGroup(System& system, CounterSetup setup)
    : system_(system), setup_(std::move(setup)), fds_(std::size(counter_events)), reasons_(std::size(counter_events))
{
    // The hardware group: cycles leads, or instructions where cycles cannot.
    std::optional<Mode> mode;
    int leader = -1;
    std::vector<std::size_t> members;
    for (std::size_t event = 0; event < task_clock; event++) {
        if (leader < 0) {
            mode = open_leader(event);
            leader = mode ? *fds_[event] : -1;
        } else if (const int fd = open(event, leader, *mode); fd >= 0) {
            fds_[event] = fd;
        } else {
            reasons_[event] = counter_failure(-fd, setup_.paranoid);
        }
        if (fds_[event])
            members.push_back(event);
    }
    if (leader >= 0)
        groups_.emplace_back(leader, members);
    open_task_clock(leader, mode);
}

void CounterGroup::open_task_clock(int leader, std::optional<Mode> mode)
{
    if (leader >= 0) {
        if (const int fd = open(task_clock, leader, *mode); fd >= 0) {
            fds_[task_clock] = fd;
            groups_.front().second.push_back(task_clock);
            return;
        }
    }
    // Alone, in a group of its own, where no hardware event could join.
    const int fd = open(task_clock, -1, {false, mode ? mode->user_only : true});
    if (fd < 0) {
        reasons_[task_clock] = counter_failure(-fd, setup_.paranoid);
        return;
    }
    fds_[task_clock] = fd;
    groups_.emplace_back(fd, std::vector<std::size_t>{task_clock});
}

std::optional<CounterGroup::Mode> CounterGroup::open_leader(std::size_t event)
{
    std::vector<Mode> tries = {{setup_.pmu_type != 0, true}};
    if (setup_.pmu_type != 0)
        tries.push_back({false, true});
    int error = 0;
    for (const Mode& mode : tries) {
        const int fd = open(event, -1, mode);
        if (fd >= 0) {
            fds_[event] = fd;
            if (tries.size() > 1 && !mode.extended)
                pmu_note_ = "the kernel cannot be asked for " + setup_.pmu_name +
                            " by type (Linux before 6.6): on a board with two kinds of core, the counts may come "
                            "from the other cluster's PMU; choose a CPU of each cluster with FIR_CPU";
            return mode;
        }
        error = -fd;
    }
    reasons_[event] = counter_failure(error, setup_.paranoid);
    if (!exclude_refusal(error))
        return std::nullopt;
    if (!setup_.privileged && !(setup_.paranoid && *setup_.paranoid <= 1)) {
        reasons_[event] += "; to count user and kernel together, which such a PMU allows, run as root or sudo sysctl "
                           "kernel.perf_event_paranoid=1 (" +
                           paranoid_text(setup_.paranoid) + ")";
        return std::nullopt;
    }
    for (Mode mode : tries) {
        mode.user_only = false;
        if (const int fd = open(event, -1, mode); fd >= 0) {
            fds_[event] = fd;
            reasons_[event].clear();
            scope_ = user_and_kernel;
            return mode;
        }
    }
    return std::nullopt;
}

int CounterGroup::open(std::size_t event, int group_fd, Mode mode)
{
    const CounterEvent& e = counter_events[event];
    perf_event_attr attr{};
    attr.size = sizeof attr;
    attr.type = e.type;
    attr.config = e.config;
    if (mode.extended && e.type == PERF_TYPE_HARDWARE)
        attr.config |= static_cast<std::uint64_t>(setup_.pmu_type) << 32U;
    // A group starts disabled through its leader; its members follow it.
    attr.disabled = group_fd < 0 ? 1 : 0;
    attr.exclude_kernel = mode.user_only ? 1 : 0;
    attr.exclude_hv = mode.user_only ? 1 : 0;
    attr.read_format = PERF_FORMAT_GROUP | PERF_FORMAT_TOTAL_TIME_ENABLED | PERF_FORMAT_TOTAL_TIME_RUNNING;
    return system_.perf_event_open(attr, group_fd);
}

CounterGroup::~CounterGroup()
{
    for (const auto& fd : fds_)
        if (fd)
            system_.close(*fd);
}

std::vector<std::vector<std::uint64_t>> CounterGroup::read_all()
{
    std::vector<std::vector<std::uint64_t>> words;
    for (const auto& [leader, members] : groups_)
        words.push_back(system_.read_group(leader, members.size()));
    return words;
}

Counted CounterGroup::count(const std::function<void()>& work)
{
    // Times enabled and running only grow, and a reset does not clear them:
    // each figure is the difference of two reads around the work.
    const auto before = read_all();
    for (const auto& group : groups_)
        system_.ioctl_group(group.first, PERF_EVENT_IOC_ENABLE);
    work();
    for (auto group = groups_.rbegin(); group != groups_.rend(); ++group)
        system_.ioctl_group(group->first, PERF_EVENT_IOC_DISABLE);
    const auto after = read_all();

    Counted counted{true, std::vector<double>(std::size(counter_events), std::numeric_limits<double>::quiet_NaN())};
    for (std::size_t g = 0; g < groups_.size(); g++) {
        const auto& members = groups_[g].second;
        if (before[g].size() != 3 + members.size() || after[g].size() != 3 + members.size()) {
            counted.whole = false;
            continue;
        }
        // Running short of enabled: the group was off the PMU for part of the work.
        if (after[g][2] - before[g][2] != after[g][1] - before[g][1])
            counted.whole = false;
        for (std::size_t m = 0; m < members.size(); m++)
            counted.values[members[m]] = static_cast<double>(after[g][3 + m] - before[g][3 + m]);
    }
    return counted;
}
