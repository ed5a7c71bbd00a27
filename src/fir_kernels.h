// The kernels as one table: the one list of them. Tests and timings run each
// row alike, and kernel_instructions reports the table to every script and
// tool, so a new kernel needs only its code and a row here.
#pragma once

#include "fir.h"

using FirKernel = void (*)(const float* coeffs, const float* in, float* out, int len, int taps);

struct FirKernelEntry {
    const char* name;
    FirKernel run;
    bool adds;         // adds into out (else stores)
    int taps_step;     // taps must be a multiple of this
    int outputs_step;  // only whole groups of this many outputs are written
    int lanes;         // multiply-adds done by one arithmetic instruction: 1 scalar, 4 for float32x4_t
};

// The first row is the reference that the others' speed-ups are measured against.
inline constexpr FirKernelEntry fir_kernels[] = {
    {"fir", fir, true, 1, 1, 1},
    {"fir_opt", fir_opt, true, 4, 1, 1},
    {"fir_neon", fir_neon, false, 1, 4, 4},
};
