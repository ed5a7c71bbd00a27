// kernel_instructions: calls each kernel once on 256 outputs of a 64-tap
// filter and nothing else, so that an instruction counter (callgrind on the
// host, qemu's execution trace on Arm) sees each kernel's cost per multiply-add
// without a timer's noise. It prints, as JSON, the kernels and the shape it ran
// and the names of a board's result files: the build's description and every
// tool learn them from here.

#include <cstdio>
#include <nlohmann/json.hpp>
#include <vector>

#include "benchmark_run.h"
#include "fir_kernels.h"
#include "guarded.h"
#include "results_files.h"

using namespace fir_run;

namespace {

int run()
{
    const int outputs = 256;
    const int taps = 64;
    std::vector<float> coeffs(taps);
    std::vector<float> in(outputs + taps);
    std::vector<float> out(outputs);
    designLPF(coeffs.data(), taps, fs, fc);
    for (int i = 0; i < outputs + taps; i++)
        in[i] = static_cast<float>(i % 17) - 8.0f;
    nlohmann::json report = {{"kernels", nlohmann::json::array()}, {"outputs", outputs}, {"taps", taps}};
    for (const FirKernelEntry& k : fir_kernels) {
        k.run(coeffs.data(), in.data(), out.data(), outputs + taps, taps);
        report["kernels"].push_back({{"name", k.name}, {"lanes", k.lanes}});
    }
    report["files"] = {
        {"timings", fir_results::timings}, {"counters", fir_results::counters}, {"machine", fir_results::machine}};
    std::puts(report.dump().c_str());
    return out[0] == out[1] ? 1 : 0;
}

}  // namespace

int main()
{
    return guarded("kernel_instructions", run);
}
