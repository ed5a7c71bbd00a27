// The CPU's own counters around a stretch of code, through Linux perf events:
// cycles (the group's leader), instructions and the task clock, opened as one
// group on the pinned CPU's PMU and read at once, so that every figure covers
// the same window. A stretch that the group did not count for its whole
// duration (multiplexed, or run on a core whose PMU does not hold the events)
// is reported as such, never scaled up.
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

// What the counters are opened with: the pinned CPU's PMU type on a board
// with several (0 for the kernel's choice), and the two settings that decide
// whether the kernel may be counted too.
struct CounterSetup {
    std::uint32_t pmu_type = 0;
    std::string pmu_name;
    std::optional<int> paranoid;  // /proc/sys/kernel/perf_event_paranoid, where it can be read
    bool privileged = false;
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
    // Set when the pinned CPU's PMU could not be asked for by type.
    [[nodiscard]] const std::string& pmu_note() const { return pmu_note_; }

    Counted count(const std::function<void()>& work);

private:
    struct Mode {
        bool extended;  // the PMU type in config's upper 32 bits
        bool user_only;
    };
    int open(std::size_t event, int group_fd, Mode mode);
    std::optional<Mode> open_leader(std::size_t event);
    void open_task_clock(int leader, std::optional<Mode> mode);
    std::vector<std::vector<std::uint64_t>> read_all();

    System& system_;
    CounterSetup setup_;
    std::vector<std::optional<int>> fds_;
    std::vector<std::string> reasons_;
    std::string scope_, pmu_note_;
    // Each group: its leader's descriptor and its events, in the order read
    // returns them.
    std::vector<std::pair<int, std::vector<std::size_t>>> groups_;
};

// The reason for a failed perf_event_open, in words a board's user can act
// on: `error` is its errno, `paranoid` perf_event_paranoid's value if known.
std::string counter_failure(int error, std::optional<int> paranoid);

// kernel.perf_event_paranoid, which decides what a user may count.
std::optional<int> perf_paranoid(const System& system);

// The words said when the PMU counts user and kernel together.
extern const char* const user_and_kernel;
