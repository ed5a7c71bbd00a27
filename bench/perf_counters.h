// The CPU's own counters around a stretch of code, through Linux perf events
// (perf_event_open): user-space counts of this thread only, started and
// stopped by hand, so that they see a kernel's call and nothing else.
#pragma once

#include <cstdint>
#include <string>

struct CounterEvent {
    const char* name;
    std::uint32_t type;    // PERF_TYPE_HARDWARE, PERF_TYPE_SOFTWARE...
    std::uint64_t config;  // PERF_COUNT_HW_CPU_CYCLES...
    const char* unit;      // after the name in a table: "" for a count
};

// cycles and instructions, the board's witnesses; task-clock (nanoseconds on
// the CPU), a software event that every Linux has, so the same code is
// exercised where the hardware ones are missing.
extern const CounterEvent counter_events[3];

class PerfCounter {
public:
    explicit PerfCounter(const CounterEvent& event);
    ~PerfCounter();
    PerfCounter(const PerfCounter&) = delete;
    PerfCounter& operator=(const PerfCounter&) = delete;

    [[nodiscard]] bool available() const { return fd_ >= 0; }
    // Why the counter could not be opened: "perf_event_open: ... (...)".
    [[nodiscard]] const std::string& reason() const { return reason_; }

    void start() const;
    // The count since start(), scaled up if the kernel shared the counter
    // with others for part of the time; NaN if it could not be read.
    [[nodiscard]] double stop() const;

private:
    int fd_ = -1;
    std::string reason_;
};

// The reason for a failed perf_event_open, in words a board's user can act
// on: `error` is its errno, `paranoid` the value of
// /proc/sys/kernel/perf_event_paranoid (or -1 if unknown).
std::string counter_failure(int error, int paranoid);
