// The files that the bundle's programs leave in a board's results folder.
// The host's tools learn these names from kernel_instructions' report, by way
// of the build's description: no program, script or tool writes them again.
// The bundle's README names them for its reader, and the tools' tests spell
// some in the faults they expect.
#pragma once

namespace fir_results {

inline constexpr const char* timings = "timings.json";    // kernel_timings: Google Benchmark's repetitions
inline constexpr const char* timings_o2 = "timings-O2.json";  // the same at -O2
inline constexpr const char* sweep = "sweep.json";          // kernel_timings --sweep, FIR_SWEEP=1
inline constexpr const char* sweep_o2 = "sweep-O2.json";
inline constexpr const char* counters = "counters.json";  // kernel_counters: the CPU's counts per call
inline constexpr const char* machine = "machine.json";    // machine_info: the board, its clock, the bundle's build

}  // namespace fir_results
