#include "perf_counters.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>

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
    return "kernel.perf_event_paranoid is " + (paranoid ? std::to_string(*paranoid) : std::string("unreadable"));
}

bool hardware(const perf_event_attr& attr)
{
    return attr.type == PERF_TYPE_HARDWARE;
}

// A PMU without an event filter (Cortex-A5, A8 and A9) refusing to leave the
// kernel out: EINVAL since Linux 5.0, EOPNOTSUPP before, EPERM on the oldest,
// where the task clock, which no PMU serves, is not refused too.
bool exclude_refusal(int error, const perf_event_attr& attr, const CounterSetup& setup)
{
    return hardware(attr) && attr.exclude_kernel != 0 &&
           (error == EINVAL || error == EOPNOTSUPP || (error == EPERM && !setup.all_refused));
}

const char* const no_filter = "a PMU without an event filter (Cortex-A5, A8, A9) refuses to leave the kernel out";

// Where the setting to change is: the host's, for a process in a container's
// user namespace.
std::string on_the_host(const CounterSetup& setup)
{
    return setup.namespaced ? " on the host; this process's root is a user namespace's (a container's), which perf "
                              "does not take as root"
                            : "";
}

// EACCES: perf_event_paranoid, where it forbids what was asked; otherwise a
// security module, which the setting does not decide.
std::string access_refusal(const perf_event_attr& attr, const CounterSetup& setup)
{
    const std::optional<int> paranoid = setup.paranoid;
    if (!setup.privileged && !paranoid)
        return "kernel.perf_event_paranoid cannot be read, so why is not known: root, or the setting at 2 or "
               "lower, lets this user count its own events";
    const std::string host = on_the_host(setup);
    if (!setup.privileged && *paranoid > 2)
        return paranoid_text(paranoid) + ", which forbids this user any event: run as root, or sudo sysctl "
                                         "kernel.perf_event_paranoid=2" + host;
    if (!setup.privileged && attr.exclude_kernel == 0 && *paranoid == 2)
        return paranoid_text(paranoid) + ", which forbids this user to count the kernel: run as root, or sudo "
                                         "sysctl kernel.perf_event_paranoid=1" + host;
    return paranoid_text(paranoid) + ", which allows it: a security module (SELinux, AppArmor) refused; its log or "
                                     "dmesg says why";
}

std::string failure_cause(int error, const perf_event_attr& attr, const CounterSetup& setup, const char* leader)
{
    switch (error) {
    case ENOENT:
        if (!hardware(attr))
            return "this kernel has no such software event";
        if (leader != nullptr)
            return std::string("the PMU that counts ") + leader + " on CPU " + std::to_string(setup.cpu) +
                   " maps no event of its own to this generic one";
        return "no PMU of this kernel counts it on CPU " + std::to_string(setup.cpu) +
               ": no driver or device-tree node for this core's PMU, a virtual machine without one, or a PMU that "
               "maps no event of its own to this generic one";
    case EINVAL:
        if (exclude_refusal(error, attr, setup))
            return std::string("since Linux 5.0, ") + no_filter;
        return "the kernel refuses the event as asked; dmesg may say why";
    case EOPNOTSUPP:
        if (exclude_refusal(error, attr, setup))
            return std::string("before Linux 5.0, ") + no_filter;
        return "the PMU cannot count it as asked";
    case EACCES: return access_refusal(attr, setup);
    case EPERM:
        return std::string("refused before any PMU was asked: a seccomp filter, such as a container's default "
                           "profile, or a security module") +
               (exclude_refusal(error, attr, setup) ? "; old kernels also say this where " + std::string(no_filter)
                                                   : "");
    case ENOSYS: return "the kernel, or an emulator in between, offers no perf events";
    case EBUSY: return "the PMU allows one user at a time, and another holds it";
    default: return "errno " + std::to_string(error) + "; dmesg may say why";
    }
}

perf_event_attr attributes(std::size_t event, int group_fd, bool user_only)
{
    const CounterEvent& e = counter_events[event];
    perf_event_attr attr{};
    attr.size = sizeof attr;
    attr.type = e.type;
    attr.config = e.config;
    // A group starts disabled through its leader; its members follow it.
    attr.disabled = group_fd < 0 ? 1 : 0;
    attr.exclude_kernel = user_only ? 1 : 0;
    attr.exclude_hv = user_only ? 1 : 0;
    attr.read_format = PERF_FORMAT_GROUP | PERF_FORMAT_TOTAL_TIME_ENABLED | PERF_FORMAT_TOTAL_TIME_RUNNING;
    return attr;
}

}  // namespace

std::optional<int> perf_paranoid(const System& system)
{
    const auto value = number_in(system, "/proc/sys/kernel/perf_event_paranoid");
    return value ? std::optional<int>(static_cast<int>(*value)) : std::nullopt;
}

std::string counter_failure(int error, const perf_event_attr& attr, const CounterSetup& setup, const char* leader)
{
    return std::string("perf_event_open: ") + std::strerror(error) + " (" +
           failure_cause(error, attr, setup, leader) + ")";
}

CounterGroup::CounterGroup(System& system, CounterSetup setup)
    : system_(system), setup_(setup), fds_(std::size(counter_events)), reasons_(std::size(counter_events))
{
    // The hardware group: cycles leads, or instructions where cycles cannot.
    std::optional<bool> user_only;
    int leader = -1;
    std::vector<std::size_t> members;
    for (std::size_t event = 0; event < task_clock; event++) {
        if (leader < 0) {
            user_only = open_leader(event);
            leader = user_only ? *fds_[event] : -1;
        } else if (const int fd = open(event, leader, *user_only); fd >= 0) {
            fds_[event] = fd;
        } else {
            reasons_[event] = counter_failure(-fd, attributes(event, leader, *user_only), setup_,
                                              counter_events[members.front()].name);
        }
        if (fds_[event])
            members.push_back(event);
    }
    if (leader >= 0)
        groups_.emplace_back(leader, members);
    open_task_clock(leader, user_only);
}

void CounterGroup::open_task_clock(int leader, std::optional<bool> user_only)
{
    if (leader >= 0) {
        if (const int fd = open(task_clock, leader, *user_only); fd >= 0) {
            fds_[task_clock] = fd;
            groups_.front().second.push_back(task_clock);
            return;
        }
    }
    // Alone, in a group of its own, where no hardware event could join.
    const bool alone_user_only = user_only.value_or(true);
    const int fd = open(task_clock, -1, alone_user_only);
    if (fd < 0) {
        reasons_[task_clock] = counter_failure(-fd, attributes(task_clock, -1, alone_user_only), setup_);
        return;
    }
    fds_[task_clock] = fd;
    groups_.emplace_back(fd, std::vector<std::size_t>{task_clock});
}

// The group's leader, counting user space alone where the PMU can, else user
// and kernel where this user may count the kernel: which of the two, or
// nothing.
std::optional<bool> CounterGroup::open_leader(std::size_t event)
{
    const int fd = open(event, -1, true);
    if (fd >= 0) {
        fds_[event] = fd;
        return true;
    }
    const perf_event_attr asked = attributes(event, -1, true);
    setup_.all_refused = -fd == EPERM && task_clock_refused();
    reasons_[event] = counter_failure(-fd, asked, setup_);
    if (!exclude_refusal(-fd, asked, setup_))
        return std::nullopt;
    if (!setup_.privileged && !(setup_.paranoid && *setup_.paranoid <= 1)) {
        reasons_[event] += "; to count user and kernel together, which such a PMU allows, run as root or sudo sysctl "
                           "kernel.perf_event_paranoid=1" +
                           on_the_host(setup_) + " (" + paranoid_text(setup_.paranoid) + ")";
        return std::nullopt;
    }
    const int both = open(event, -1, false);
    if (both < 0) {
        reasons_[event] += "; counting user and kernel together failed too: " +
                           counter_failure(-both, attributes(event, -1, false), setup_);
        return std::nullopt;
    }
    fds_[event] = both;
    reasons_[event].clear();
    scope_ = user_and_kernel;
    return false;
}

// Whether the task clock, which no PMU serves, is refused with EPERM too.
bool CounterGroup::task_clock_refused()
{
    const int fd = open(task_clock, -1, true);
    if (fd >= 0)
        system_.close(fd);
    return fd == -EPERM;
}

int CounterGroup::open(std::size_t event, int group_fd, bool user_only)
{
    return system_.perf_event_open(attributes(event, group_fd, user_only), setup_.cpu, group_fd);
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
