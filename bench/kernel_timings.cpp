// kernel_timings: each kernel of the table, timed by Google Benchmark on the
// program's own sizes and a few others. Besides time per call it reports
// multiply-adds per second and, as vs_fir, the speed-up over fir on the same
// sizes in the same run (fir runs first for each size).

#include <benchmark/benchmark.h>

#include <chrono>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "benchmark_run.h"
#include "fir_kernels.h"

namespace {

std::map<std::pair<int, int>, double> fir_seconds_per_call;

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

    const auto start = std::chrono::steady_clock::now();
    while (state.KeepRunning()) {
        kernel.run(coeffs.data(), in.data(), out.data(), len, taps);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    const double per_call = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
                            static_cast<double>(state.iterations());

    double& fir_per_call = fir_seconds_per_call[{outputs, taps}];
    if (kernel.run == fir)
        fir_per_call = per_call;
    state.counters["MAC/s"] = benchmark::Counter(static_cast<double>(outputs) * taps,
                                                 benchmark::Counter::kIsIterationInvariantRate);
    state.counters["vs_fir"] = fir_per_call / per_call;
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
