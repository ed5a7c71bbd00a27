// kernel_counters' work as two jobs: counting each kernel's calls on the
// pinned CPU into a report of plain data (the JSON the results folder keeps),
// and printing that report as the counters' lines.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "system.h"

struct CountRequest {
    int outputs;
    int taps;
    int repetitions;
    const char* fir_cpu;  // FIR_CPU's value, or null
    const char* isa;
};

// Thrown when the CPU that FIR_CPU names cannot be had.
struct PinError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Each kernel's calls counted `repetitions` times on a filter of this shape,
// less the median of as many empty brackets: per event, the median count of
// one call over the calls counted whole. A counter gives no figure for a
// kernel where fewer than half its calls were counted whole.
nlohmann::json count_kernels(System& system, const CountRequest& request);

// The counters' lines: a figure per multiply-add for each counter and kernel,
// IPC and effective MHz, then one line for each discard, flag and note.
std::vector<std::string> counter_lines(const nlohmann::json& report);

// The kernels' effective clocks differ by more than this fraction: the clock
// moved during the run.
inline constexpr double clock_spread_limit = 0.05;
