// kernel_counters [--repetitions N] [--results] | --lines FILE: the CPU's own counters
// (cycles, instructions and the task clock, as one group) for each kernel's
// calls alone, on the program's own run, per multiply-add, on one CPU: the one
// FIR_CPU names, or the one it starts on. Each counter gets one line: its
// figures, or why this machine does not offer it. --results also writes the
// counts per call (the median of N calls, default 10, as the timings) to the
// results folder's counters file, for the board's summary and scripts/bench --board.
// --lines prints the lines of such a file again, as they were printed when it
// was counted.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "benchmark_run.h"
#include "counter_report.h"
#include "guarded.h"
#include "kernel_runs.h"
#include "results_files.h"

namespace {

int usage()
{
    std::fprintf(stderr, "usage: kernel_counters [--repetitions N] [--results] | --lines FILE\n");
    return 2;
}

int print_lines(const char* path)
{
    std::ifstream file(path);
    const nlohmann::json report = nlohmann::json::parse(file, nullptr, false);
    if (report.is_discarded())
        throw std::runtime_error(std::string(path) + ": missing or not JSON");
    for (const std::string& line : counter_lines(report))
        std::puts(line.c_str());
    return 0;
}

int run(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--lines") == 0)
        return print_lines(argv[2]);
    CountRequest request{fir_run::out_len, fir_run::num_taps, fir_measure::repetitions, std::getenv("FIR_CPU"),
                         FIR_ISA};
    bool save = false;
    for (int i = 1; i < argc; i++) {
        if (i + 1 < argc && std::strcmp(argv[i], "--repetitions") == 0) {
            char* end = nullptr;
            const long n = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || n < 1 || n > 1000)
                return usage();
            request.repetitions = static_cast<int>(n);
        } else if (std::strcmp(argv[i], "--results") == 0) {
            save = true;
        } else {
            return usage();
        }
    }
    LinuxSystem system;
    const nlohmann::json report = count_kernels(system, request);
    for (const std::string& line : counter_lines(report))
        std::puts(line.c_str());
    if (!save)
        return 0;
    std::ofstream json(fir_results::counters);
    // Text from /proc goes in as it is: a byte that is not UTF-8 is replaced, not
    // fatal.
    json << report.dump(1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    if (!json.flush()) {
        std::perror(fir_results::counters);
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    return guarded("kernel_counters", [&] { return run(argc, argv); });
}
