// The sweep's shapes, the one list that kernel_timings times, the board runs
// and kernel_instructions reports to the tools: each kernel over the tap
// counts at the program's own output count, and over working sets from well
// inside a level-1 cache to beyond a board's last level at the program's own
// tap count.
#pragma once

#include "benchmark_run.h"

namespace fir_sweep {

inline constexpr int taps[] = {4, 8, 16, 32, 64, 128, 256, 512};
inline constexpr int taps_outputs = fir_run::out_len;

inline constexpr int working_set_kib[] = {4, 16, 64, 256, 1024, 4096, 16384, 65536};
inline constexpr int working_set_taps = fir_run::num_taps;

// The outputs whose input (outputs + taps samples) and output (outputs
// samples) fill a working set, in whole groups of four for fir_neon.
constexpr int outputs_in(int kib, int taps)
{
    return (kib * 1024 / static_cast<int>(sizeof(float)) - taps) / 2 / 4 * 4;
}

// Instructions per multiply-add are counted, not timed, on this few outputs:
// an emulator's trace of every instruction stays small at 512 taps.
inline constexpr int counted_outputs = 16;

}  // namespace fir_sweep
