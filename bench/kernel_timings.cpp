// kernel_timings [--sweep] [--results] [Google Benchmark's flags]: each kernel
// of the table, timed by Google Benchmark on the program's own run, or with
// --sweep over the sweep's tap counts and working sets, with multiply-adds per
// second beside the time per call. Each result carries its kernel as its label
// and its shape as the counters "outputs", "taps", "bytes" (the working set)
// and, in a sweep, "over_taps" or "over_working_set" (1, the other one
// absent), which the tools read rather than the benchmark's name. --results writes every repetition as JSON to the
// results folder's file for this build's optimisation. It runs on one CPU, the
// one FIR_CPU names or the one it starts on, and records which, with its
// optimisation, in the JSON's context. The Google Benchmark flags that every
// caller wants are set here, before the caller's own, which can override them.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "benchmark_run.h"
#include "cpu.h"
#include "fir_kernels.h"
#include "kernel_runs.h"
#include "results_files.h"
#include "sweep_shapes.h"

using namespace fir_run;

namespace {

enum Sweep { none = 0, over_taps = 1, over_working_sets = 2 };

// The outputs a kernel really filters. A build for scripts/compare-rates names
// a kernel in FIR_SLOWED_KERNEL, which then filters a tenth more than its
// shape says: a planted slowdown of a tenth, for the comparison to find.
int filtered(const FirKernelEntry& kernel, int outputs)
{
    return std::strcmp(kernel.name, FIR_SLOWED_KERNEL) == 0 ? outputs + outputs / 10 : outputs;
}

void time_kernel(benchmark::State& state, const FirKernelEntry& kernel, int outputs, int taps, Sweep sweep)
{
    const int len = outputs + taps;
    const int worked = filtered(kernel, outputs);
    const FilterData data = timed_data(worked, taps);
    std::vector<float> out(worked, 0.0f);
    while (state.KeepRunning()) {
        kernel.run(data.coeffs.data(), data.in.data(), out.data(), worked + taps, taps);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetLabel(kernel.name);
    state.counters["outputs"] = outputs;
    state.counters["taps"] = taps;
    state.counters["bytes"] = static_cast<double>((len + outputs) * sizeof(float));
    if (sweep != none)
        state.counters[sweep == over_taps ? "over_taps" : "over_working_set"] = 1;
    state.counters["MAC/s"] =
        benchmark::Counter(static_cast<double>(outputs) * taps, benchmark::Counter::kIsIterationInvariantRate);
}

void add(int outputs, int taps, Sweep sweep, const char* family)
{
    for (const FirKernelEntry& k : fir_kernels)
        benchmark::RegisterBenchmark(
            (std::string(k.name) + "/" + family + std::to_string(outputs) + "x" + std::to_string(taps)).c_str(),
            time_kernel, k, outputs, taps, sweep)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
}

void register_shapes(bool sweep)
{
    if (!sweep) {
        add(out_len, num_taps, none, "");
        return;
    }
    for (const int taps : fir_sweep::taps)
        add(fir_sweep::taps_outputs, taps, over_taps, "taps/");
    for (const int kib : fir_sweep::working_set_kib)
        add(fir_sweep::outputs_in(kib, fir_sweep::working_set_taps), fir_sweep::working_set_taps, over_working_sets,
            "set/");
}

}  // namespace

int main(int argc, char** argv)
{
    bool sweep = false;
    bool results = false;
    int first = 1;
    for (; first < argc; first++) {
        if (std::strcmp(argv[first], "--sweep") == 0)
            sweep = true;
        else if (std::strcmp(argv[first], "--results") == 0)
            results = true;
        else
            break;
    }
    // Repetitions of at least 0.1 s each; the console shows their aggregates,
    // the JSON keeps every repetition, for a statistical comparison of two runs.
    std::string out_flag = std::string("--benchmark_out=") + (sweep ? FIR_SWEEP_FILE : FIR_TIMINGS_FILE);
    const std::string repeat =
        "--benchmark_repetitions=" + std::to_string(sweep ? fir_measure::sweep_repetitions : fir_measure::repetitions);
    std::string defaults[] = {repeat, "--benchmark_min_time=0.1",
                              "--benchmark_display_aggregates_only=true", results ? out_flag : ""};
    std::vector<char*> args = {argv[0]};
    for (std::string& flag : defaults)
        if (!flag.empty())
            args.push_back(flag.data());
    args.insert(args.end(), argv + first, argv + argc);
    int count = static_cast<int>(args.size());

    LinuxSystem system;
    const Pinning pinning = pin_thread(system, std::getenv("FIR_CPU"));
    if (pinning.refused()) {
        std::fprintf(stderr, "kernel_timings: %s\n", pinning.problem.c_str());
        return 1;
    }
    benchmark::AddCustomContext("cpu", std::to_string(pinning.cpu));
    benchmark::AddCustomContext("optimisation", FIR_OPTIMISATION_FLAGS);
    register_shapes(sweep);
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data()))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
