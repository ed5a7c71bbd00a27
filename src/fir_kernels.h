// The three kernels as one table, so that tests and timings treat each alike.
#pragma once

#include "fir.h"

using FirKernel = void (*)(const float* coeffs, const float* in, float* out, int len, int taps);

struct FirKernelEntry {
    const char* name;
    FirKernel run;
    bool adds;         // adds into out (else stores)
    int taps_step;     // taps must be a multiple of this
    int outputs_step;  // only whole groups of this many outputs are written
};

inline constexpr FirKernelEntry fir_kernels[] = {
    {"fir", fir, true, 1, 1},
    {"fir_opt", fir_opt, true, 4, 1},
    {"fir_neon", fir_neon, false, 1, 4},
};
