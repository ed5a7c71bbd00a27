// How the measuring programs run the kernels: how often, and the filter and
// signal that kernel_timings and kernel_counters time and count.
#pragma once

#include <random>
#include <vector>

#include "benchmark_run.h"
#include "fir_kernels.h"

namespace fir_measure {

// How many times the timings and the counters measure each kernel; the sweep,
// with many shapes, measures each fewer times.
inline constexpr int repetitions = 10;
inline constexpr int sweep_repetitions = 3;

}  // namespace fir_measure

struct FilterData {
    std::vector<float> coeffs;
    std::vector<float> in;
};

// The program's low-pass design for `taps` taps and an input of
// `outputs + taps` samples at 16-bit audio scale, from a fixed seed, so that
// every run times and counts the same arithmetic.
inline FilterData timed_data(int outputs, int taps)
{
    FilterData data{std::vector<float>(taps), std::vector<float>(outputs + taps)};
    designLPF(data.coeffs.data(), taps, fir_run::fs, fir_run::fc);
    std::mt19937 rng(1);
    for (float& v : data.in)
        v = static_cast<float>(rng() % 60001) - 30000.0f;
    return data;
}
