// The one CPU the board's measuring programs run on, and what it is: pinning
// to FIR_CPU or to the CPU a program starts on, the PMUs a board offers and
// which one serves that CPU, and the CPU's model and part number.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "system.h"

// The CPU this thread is bound to, or why it could not be bound.
struct Pinning {
    int cpu = -1;
    std::string problem;  // empty when pinned
    bool named = false;   // FIR_CPU chose the CPU

    // The CPU that FIR_CPU names cannot be had: the run must stop, where
    // failing to stay on the CPU it started on is only worth a note.
    [[nodiscard]] bool refused() const { return named && !problem.empty(); }
};

// Binds this thread to the CPU that fir_cpu names (FIR_CPU's value, or null
// for the CPU it runs on now). A named CPU that cannot be had is refused with
// the CPUs that are online and allowed, before anything is measured.
Pinning pin_thread(System& system, const char* fir_cpu);

// "0-3,6" -> 0 1 2 3 6; nothing for a list it cannot read.
std::vector<int> cpu_list(const std::string& text);

// A PMU under /sys/bus/event_source/devices that serves a set of CPUs.
struct Pmu {
    std::string name;
    std::uint32_t type = 0;
    std::vector<int> cpus;
};

// The CPU PMUs: those that list their CPUs. A board with two clusters of
// different cores (big.LITTLE) has one for each.
std::vector<Pmu> cpu_pmus(const System& system);
// The PMU that serves cpu, if any PMU names it.
std::optional<Pmu> pmu_of(const std::vector<Pmu>& pmus, int cpu);

struct CpuIdentity {
    std::string model;  // /proc/cpuinfo's model name or Processor line, else the core
    std::string part;   // Arm's MIDR part number ("0xc07"), empty elsewhere
    std::string core;   // the part's name ("Cortex-A7"), or the model
    bool instructions_at_rename = false;  // its instructions event is not architecturally executed instructions
};

CpuIdentity identify_cpu(const System& system, int cpu);

// The CPUs a board's run measures where it is not told which: one a kind of
// core, the lowest-numbered of each, among the CPUs that are online and that
// this process may run on. CPUs differ in kind where their part numbers or
// the PMUs that serve them differ (big.LITTLE's clusters differ in both). A
// board of one kind gives its one CPU: the one this thread runs on.
std::vector<int> one_cpu_of_each_kind(System& system);
