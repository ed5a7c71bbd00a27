// kernel_timings: each kernel of the table, timed by Google Benchmark on the
// program's own sizes and a few others, with multiply-adds per second beside
// the time per call. Each result carries its kernel as its label and its shape
// as the counters "outputs" and "taps", which the tools read rather than the
// benchmark's name. Our own options come first: --program_run times the
// program's own shape alone, --results writes every repetition as JSON to the
// results folder's timings file. It runs on one CPU, the one FIR_CPU names or
// the one it starts on, and records which in the JSON's context. The Google
// Benchmark flags that every caller wants are set here, before the caller's
// own, which can override them. scripts/run, scripts/bench and the board's run
// script run it with repetitions and read its medians and coefficients of
// variation.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "benchmark_run.h"
#include "cpu.h"
#include "fir_kernels.h"
#include "results_files.h"

using namespace fir_run;

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
    state.SetLabel(kernel.name);
    state.counters["outputs"] = outputs;
    state.counters["taps"] = taps;
    state.counters["MAC/s"] =
        benchmark::Counter(static_cast<double>(outputs) * taps, benchmark::Counter::kIsIterationInvariantRate);
}

std::string shape_name(int outputs, int taps)
{
    return std::to_string(outputs) + "x" + std::to_string(taps);
}

}  // namespace

int main(int argc, char** argv)
{
    bool program_run_only = false;
    std::string out_flag;
    int first = 1;
    for (; first < argc; first++) {
        if (std::strcmp(argv[first], "--program_run") == 0)
            program_run_only = true;
        else if (std::strcmp(argv[first], "--results") == 0)
            out_flag = std::string("--benchmark_out=") + fir_results::timings;
        else
            break;
    }
    // Repetitions of at least 0.1 s each; the console shows their aggregates,
    // the JSON keeps every repetition, for a statistical comparison of two runs.
    std::string defaults[] = {"--benchmark_repetitions=10", "--benchmark_min_time=0.1",
                              "--benchmark_display_aggregates_only=true", out_flag};
    std::vector<char*> args = {argv[0]};
    for (std::string& flag : defaults)
        if (!flag.empty())
            args.push_back(flag.data());
    args.insert(args.end(), argv + first, argv + argc);
    int count = static_cast<int>(args.size());

    LinuxSystem system;
    const char* fir_cpu = std::getenv("FIR_CPU");
    const Pinning pinning = pin_thread(system, fir_cpu);
    if (!pinning.problem.empty() && fir_cpu != nullptr && *fir_cpu != '\0') {
        std::fprintf(stderr, "kernel_timings: %s\n", pinning.problem.c_str());
        return 1;
    }
    benchmark::AddCustomContext("cpu", std::to_string(pinning.cpu));

    const std::pair<int, int> shapes[] = {
        {out_len, num_taps},  // fir_benchmark's run
        {1024, 16}, {1024, 64}, {16384, 64}, {16384, 256},
    };
    for (const auto& [outputs, taps] : shapes)
        for (const FirKernelEntry& k : fir_kernels)
            benchmark::RegisterBenchmark((std::string(k.name) + "/" + shape_name(outputs, taps)).c_str(), time_kernel,
                                         k, outputs, taps)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 1;
    if (program_run_only)
        benchmark::RunSpecifiedBenchmarks("/" + shape_name(out_len, num_taps) + "/");
    else
        benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
