// The CPU's own counters around a stretch of code, through Linux perf events:
// cycles (the group's leader), instructions and the task clock, opened as one
// group bound to the pinned CPU and read at once, so that every figure covers
// the same window. Bound to a CPU, a hardware event lands on the PMU that
// serves it on every kernel: a PMU that does not answers ENOENT, and the
// kernel asks the next. Unbound, it would go to the first PMU that takes it,
// which on a board with two kinds of core (before Linux 6.6) may be the other
// cluster's, and count nothing. A stretch that the group did not count for its
// whole duration (multiplexed, or run off that CPU) is reported as such, never
// scaled up.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "system.h"

struct CounterEvent {
    const char* name;
    std::uint32_t type;    // PERF_TYPE_HARDWARE, PERF_TYPE_SOFTWARE
    std::uint64_t config;  // PERF_COUNT_HW_CPU_CYCLES...
    const char* unit;      // after the name in a table: "" for a count
};

// cycles and instructions, the board's witnesses; task-clock (nanoseconds on
// the CPU), a software event that every Linux has, which still counts alone
// where the hardware ones are missing.
extern const CounterEvent counter_events[3];

// What the counters are opened with: the CPU they count on, and what decides
// what this user may count.
struct CounterSetup {
    int cpu = -1;
    std::optional<int> paranoid;  // /proc/sys/kernel/perf_event_paranoid, where it can be read
    bool privileged = false;
    // In a user namespace other than the first (a container's), whose root
    // and capabilities perf does not honour.
    bool namespaced = false;
    // EPERM for the task clock too, which no PMU serves: every event is
    // refused before a PMU is asked (a seccomp filter, a security module).
    bool all_refused = false;
};

// The counts of one stretch, by event (NaN where not counted), and whether the
// group counted all of it.
struct Counted {
    bool whole = false;
    std::vector<double> values;
};

class CounterGroup {
public:
    CounterGroup(System& system, CounterSetup setup);
    ~CounterGroup();
    CounterGroup(const CounterGroup&) = delete;
    CounterGroup& operator=(const CounterGroup&) = delete;
    CounterGroup(CounterGroup&&) = delete;
    CounterGroup& operator=(CounterGroup&&) = delete;

    [[nodiscard]] bool available(std::size_t event) const { return fds_[event].has_value(); }
    // Why an event could not be opened, with what to do about it.
    [[nodiscard]] const std::string& reason(std::size_t event) const { return reasons_[event]; }
    // Set when the PMU could only count user and kernel together.
    [[nodiscard]] const std::string& scope() const { return scope_; }

    Counted count(const std::function<void()>& work);

private:
    int open(std::size_t event, int group_fd, bool user_only);
    std::optional<bool> open_leader(std::size_t event);
    bool task_clock_refused();
    void open_task_clock(int leader, std::optional<bool> user_only);
    std::vector<std::vector<std::uint64_t>> read_all();

    System& system_;
    CounterSetup setup_;
    std::vector<std::optional<int>> fds_;
    std::vector<std::string> reasons_;
    std::string scope_;
    // Each group: its leader's descriptor and its events, in the order read
    // returns them.
    std::vector<std::pair<int, std::vector<std::size_t>>> groups_;
};

// The reason for a failed perf_event_open of attr, in words a board's user can
// act on: `error` is its errno. Each errno is explained by what Linux returns
// it for, for that kind of event; one it does not expect, by its number and
// where the kernel says more.
// `leader` names the event that leads the group, open on that CPU's PMU,
// where the refused event was to join it.
std::string counter_failure(int error, const perf_event_attr& attr, const CounterSetup& setup,
                            const char* leader = nullptr);

// kernel.perf_event_paranoid, which decides what a user may count.
std::optional<int> perf_paranoid(const System& system);

// The words said when the PMU counts user and kernel together.
extern const char* const user_and_kernel;
