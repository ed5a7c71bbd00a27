// kernel_instructions [--taps N]: calls each kernel once on a few outputs of
// the program's filter, or on the sweep's few outputs of an N-tap one, and nothing
// else, so that an instruction counter (callgrind on the host, qemu's
// execution trace on Arm) sees each kernel's cost per multiply-add without a
// timer's noise. It prints, as JSON, the kernels and the shape it ran, and the
// sweep's tap counts: the build's description and every tool learn them from
// here.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <vector>

#include "fir_kernels.h"
#include "guarded.h"
#include "counted_calls.h"
#include "sweep_shapes.h"


namespace {

int run(int argc, char** argv)
{
    const bool swept = argc == 3 && std::strcmp(argv[1], "--taps") == 0;
    if (argc != 1 && !swept) {
        std::fprintf(stderr, "usage: kernel_instructions [--taps N]\n");
        return 2;
    }
    const int outputs = swept ? fir_sweep::counted_outputs : fir_measure::counted_outputs;
    const int taps = swept ? static_cast<int>(std::strtol(argv[2], nullptr, 10)) : fir_run::num_taps;
    if (taps < 4 || taps > 4096 || taps % 4 != 0) {
        std::fprintf(stderr, "kernel_instructions: --taps takes a multiple of 4 from 4 to 4096\n");
        return 2;
    }
    std::vector<float> out;
    nlohmann::json report = call_each_once(fir_kernels, outputs, taps, out);
    report["sweep_taps"] = fir_sweep::taps;
    std::puts(report.dump().c_str());
    return out[0] == out[1] ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv)
{
    return guarded("kernel_instructions", [&] { return run(argc, argv); });
}
