// One call of each kernel for an instruction counter (kernel_instructions,
// kernel_variants), which sees each one's cost alone.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <vector>

#include "benchmark_run.h"
#include "fir_kernels.h"

namespace fir_measure {

// The outputs an instruction counter runs each kernel on, at the program's
// taps: enough for its inner loops to dwarf the call, few enough for qemu's
// trace.
inline constexpr int counted_outputs = 256;

}  // namespace fir_measure

// Calls each kernel once on a small repeating signal and nothing else, so that
// an instruction counter sees each one's cost alone, and reports the kernels
// and the shape as every tool reads them. `out` keeps the last call's outputs.
template <std::size_t N>
nlohmann::json call_each_once(const FirKernelEntry (&kernels)[N], int outputs, int taps, std::vector<float>& out)
{
    std::vector<float> coeffs(taps), in(outputs + taps);
    out.assign(outputs, 0.0f);
    designLPF(coeffs.data(), taps, fir_run::fs, fir_run::fc);
    for (int i = 0; i < outputs + taps; i++)
        in[i] = static_cast<float>(i % 17) - 8.0f;
    nlohmann::json report = {{"kernels", nlohmann::json::array()}, {"outputs", outputs}, {"taps", taps}};
    for (const FirKernelEntry& k : kernels) {
        k.run(coeffs.data(), in.data(), out.data(), outputs + taps, taps);
        report["kernels"].push_back({{"name", k.name}, {"lanes", k.lanes}});
    }
    return report;
}
