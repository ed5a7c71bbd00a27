// kernel_timings: each kernel of the table, timed by Google Benchmark on the
// program's own sizes and a few others, with multiply-adds per second beside
// the time per call. scripts/run and scripts/bench run it with repetitions and
// read its medians and coefficients of variation.

#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "benchmark_run.h"
#include "fir_kernels.h"

namespace {

void time_kernel(benchmark::State& state, const FirKernelEntry& kernel, int outputs, int taps)
{
    const int len = outputs + taps;
    std::vector<float> coeffs(taps);
    std::vector<float> in(len);
    std::vector<float> out(outputs, 0.0f);
    designLPF(coeffs.data(), taps, fs, fc);
    std::mt19937 rng(1);
    for (float& v : in)
        v = static_cast<float>(rng() % 60001) - 30000.0f;

    while (state.KeepRunning()) {
        kernel.run(coeffs.data(), in.data(), out.data(), len, taps);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.counters["MAC/s"] = benchmark::Counter(static_cast<double>(outputs) * taps,
                                                 benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

int main(int argc, char** argv)
{
    const std::pair<int, int> shapes[] = {
        {out_len, num_taps},  // fir_benchmark's run
        {1024, 16}, {1024, 64}, {16384, 64}, {16384, 256},
    };
    for (const auto& [outputs, taps] : shapes)
        for (const FirKernelEntry& k : fir_kernels)
            benchmark::RegisterBenchmark(
                (std::string(k.name) + "/" + std::to_string(outputs) + "x" + std::to_string(taps)).c_str(),
                time_kernel, k, outputs, taps)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
