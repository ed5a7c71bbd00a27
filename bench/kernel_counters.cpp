// kernel_counters [--repetitions N] [--json FILE]: the CPU's own counters
// (cycles, instructions, and the task clock) for each kernel's calls alone, on
// the program's own run, per multiply-add. Each counter gets one line: its
// figures, or why this machine does not offer it. --json writes the counts per
// call (the median of N calls, default 5) for scripts/bench --board.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "benchmark_run.h"
#include "fir_kernels.h"
#include "perf_counters.h"

namespace {

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// perf's and strerror's words hold no quote or backslash; this keeps it so.
std::string json_string(const std::string& text)
{
    std::string quoted = "\"";
    for (const char c : text)
        quoted += (c == '"' || c == '\\') ? '\'' : c;
    return quoted + "\"";
}

int usage()
{
    std::fprintf(stderr, "usage: kernel_counters [--repetitions N] [--json FILE]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    int repetitions = 5;
    const char* json_path = nullptr;
    for (int i = 1; i < argc; i++) {
        const bool has_value = i + 1 < argc;
        char* end = nullptr;
        if (has_value && std::strcmp(argv[i], "--repetitions") == 0) {
            const long n = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || n < 1 || n > 1000)
                return usage();
            repetitions = static_cast<int>(n);
        } else if (has_value && std::strcmp(argv[i], "--json") == 0) {
            json_path = argv[++i];
        } else {
            return usage();
        }
    }

    const int outputs = fir_run::out_len, taps = fir_run::num_taps, len = outputs + taps;
    std::vector<float> coeffs(taps), in(len), out(outputs, 0.0f);
    designLPF(coeffs.data(), taps, fir_run::fs, fir_run::fc);
    std::mt19937 rng(1);
    for (float& v : in)
        v = static_cast<float>(rng() % 60001) - 30000.0f;

    std::vector<std::unique_ptr<PerfCounter>> counters;
    for (const CounterEvent& event : counter_events)
        counters.push_back(std::make_unique<PerfCounter>(event));
    const bool any = std::any_of(counters.begin(), counters.end(), [](const auto& c) { return c->available(); });

    // per_call[counter][kernel]: the median count of one call.
    std::vector<std::map<std::string, double>> per_call(counters.size());
    for (const FirKernelEntry& k : fir_kernels) {
        std::vector<std::vector<double>> samples(counters.size());
        for (int r = 0; any && r < repetitions; r++) {
            for (const auto& c : counters)
                if (c->available())
                    c->start();
            k.run(coeffs.data(), in.data(), out.data(), len, taps);
            for (std::size_t e = counters.size(); e-- > 0;)
                if (counters[e]->available())
                    samples[e].push_back(counters[e]->stop());
        }
        for (std::size_t e = 0; e < counters.size(); e++)
            if (counters[e]->available())
                per_call[e][k.name] = median(samples[e]);
    }

    const double macs = static_cast<double>(outputs) * taps;
    std::printf("CPU counters per multiply-add, for each kernel's calls alone (%d outputs x %d taps, median of %d "
                "calls):\n  %-16s",
                outputs, taps, repetitions, "counter");
    for (const FirKernelEntry& k : fir_kernels)
        std::printf("%10s", k.name);
    std::printf("\n");
    for (std::size_t e = 0; e < counters.size(); e++) {
        const std::string name = std::string(counter_events[e].name) + counter_events[e].unit;
        std::printf("  %-16s", name.c_str());
        if (!counters[e]->available()) {
            std::printf("not available: %s\n", counters[e]->reason().c_str());
            continue;
        }
        for (const FirKernelEntry& k : fir_kernels)
            std::printf("%10.3f", per_call[e][k.name] / macs);
        std::printf("\n");
    }
    if (counters[0]->available() && counters[1]->available()) {
        std::printf("  %-16s", "instructions/cycle");
        for (const FirKernelEntry& k : fir_kernels)
            std::printf("%10.2f", per_call[1][k.name] / per_call[0][k.name]);
        std::printf("\n");
    }

    if (json_path == nullptr)
        return 0;
    std::FILE* json = std::fopen(json_path, "w");
    if (json == nullptr) {
        std::perror(json_path);
        return 1;
    }
    std::fprintf(json, R"({"isa": "%s", "outputs": %d, "taps": %d, "repetitions": %d, "kernels": [)", FIR_ISA, outputs,
                 taps, repetitions);
    for (const FirKernelEntry& k : fir_kernels)
        std::fprintf(json, R"(%s"%s")", &k == fir_kernels ? "" : ", ", k.name);
    std::fprintf(json, "],\n");
    std::fprintf(json, R"( "counters": {)");
    const char* separator = "";
    for (std::size_t e = 0; e < counters.size(); e++) {
        if (!counters[e]->available())
            continue;
        std::fprintf(json, R"(%s"%s": {)", separator, counter_events[e].name);
        for (const FirKernelEntry& k : fir_kernels)
            std::fprintf(json, R"(%s"%s": %.0f)", &k == fir_kernels ? "" : ", ", k.name, per_call[e][k.name]);
        std::fprintf(json, "}");
        separator = ", ";
    }
    std::fprintf(json, "},\n");
    std::fprintf(json, R"( "unavailable": {)");
    separator = "";
    for (std::size_t e = 0; e < counters.size(); e++) {
        if (counters[e]->available())
            continue;
        std::fprintf(json, R"(%s"%s": %s)", separator, counter_events[e].name, json_string(counters[e]->reason()).c_str());
        separator = ", ";
    }
    std::fprintf(json, "}}\n");
    return std::fclose(json) == 0 ? 0 : 1;
}
