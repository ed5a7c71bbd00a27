// board_summary: the board's run in one table, from the results folder it is
// run in: per kernel, at -O0 and at -O2, the time per call and its spread
// (Google Benchmark's median and coefficient of variation) and the speed-up
// over the first kernel,
// and the CPU's counts per multiply-add, IPC and effective clock. A missing
// counter reads n/a, with its reason said once; a run whose clock may have
// moved is flagged.

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "guarded.h"
#include "results_files.h"

namespace {

using nlohmann::json;

json load(const char* name)
{
    std::ifstream file(name);
    json report = json::parse(file, nullptr, false);
    if (report.is_discarded())
        throw std::runtime_error(std::string(name) + ": missing or not JSON");
    return report;
}

// kernel -> aggregate name -> real time.
using Aggregates = std::map<std::string, std::map<std::string, double>>;

Aggregates aggregates(const json& timings)
{
    Aggregates found;
    for (const auto& result : timings.at("benchmarks"))
        if (result.value("run_type", "") == "aggregate")
            found[result.at("label").get<std::string>()][result.at("aggregate_name").get<std::string>()] =
                result.at("real_time").get<double>();
    return found;
}

// A counted figure, or n/a: a counter that counted nothing is no figure, and
// an older bundle wrote such a counter's IPC as null.
std::string figure(const json& values, const std::string& kernel, double scale, const char* format, int width)
{
    char text[32];
    if (!values.is_object() || !values.contains(kernel) || !values[kernel].is_number() || values[kernel] <= 0)
        std::snprintf(text, sizeof text, "%*s", width, "n/a");
    else
        std::snprintf(text, sizeof text, format, values[kernel].get<double>() * scale);
    return text;
}

// One build's time per call, spread and speed-up over the reference, or n/a.
std::string time_cells(const Aggregates& times, const std::string& kernel, const std::string& reference)
{
    const auto time = times.find(kernel);
    char text[64];
    if (time == times.end() || time->second.count("median") == 0 || times.count(reference) == 0) {
        std::snprintf(text, sizeof text, " %8s %7s %7s", "n/a", "n/a", "n/a");
    } else {
        const double ms = time->second.at("median");
        std::snprintf(text, sizeof text, " %8.2f %6.1f%% %6.2fx", ms, 100 * time->second.at("cv"),
                      times.at(reference).at("median") / ms);
    }
    return text;
}

void print_table(const json& timings, const json& timings_o2, const json& counters)
{
    const json none = json::object();
    const json& counts = counters.value("counters", none);
    const double macs = counters.at("outputs").get<double>() * counters.at("taps").get<double>();
    const std::string reference = counters.at("kernels").at(0).get<std::string>();
    const std::string versus = "vs " + reference;
    std::printf("%-9s %-24s %-24s\n", "", " ---------- -O0 ---------", " ---------- -O2 ---------");
    std::printf("%-9s %8s %7s %7s %8s %7s %7s %11s %11s %6s %6s\n", "kernel", "ms/call", "spread", versus.c_str(),
                "ms/call", "spread", versus.c_str(), "instr/MAC", "cycles/MAC", "IPC", "MHz");
    const Aggregates times = aggregates(timings), times_o2 = aggregates(timings_o2);
    for (const auto& name : counters.at("kernels")) {
        const std::string kernel = name.get<std::string>();
        std::printf("%-9s%s%s%s%s%s%s\n", kernel.c_str(), time_cells(times, kernel, reference).c_str(),
                    time_cells(times_o2, kernel, reference).c_str(),
                    figure(counts.value("instructions", none), kernel, 1 / macs, "%12.2f", 12).c_str(),
                    figure(counts.value("cycles", none), kernel, 1 / macs, "%12.2f", 12).c_str(),
                    figure(counters.value("ipc", none), kernel, 1, "%7.2f", 7).c_str(),
                    figure(counters.value("mhz", none), kernel, 1, "%7.0f", 7).c_str());
    }
}

// Each reason once, with the counters it keeps out.
void print_reasons(const json& counters)
{
    std::map<std::string, std::string> by_reason;
    const json unavailable = counters.value("unavailable", json::object());
    for (const auto& [event, reason] : unavailable.items()) {
        std::string& events = by_reason[reason.get<std::string>()];
        events += (events.empty() ? "" : ", ") + event;
    }
    for (const auto& [reason, events] : by_reason)
        std::printf("  %s: n/a, %s\n", events.c_str(), reason.c_str());
}

int run()
{
    const json timings = load(fir_results::timings);
    const json timings_o2 = load(fir_results::timings_o2);
    const json counters = load(fir_results::counters);
    const json machine = load(fir_results::machine);
    const std::string pmu = machine.value("pmu", "");
    const std::string served_by = pmu.empty() ? "" : " (PMU " + pmu + ")";
    std::printf("Summary: %s on CPU %d%s, %s (%d outputs x %d taps; times are medians of %d repetitions)\n",
                machine.value("core", "an unknown CPU").c_str(), machine.at("cpu").get<int>(), served_by.c_str(),
                counters.at("isa").get<std::string>().c_str(), counters.at("outputs").get<int>(),
                counters.at("taps").get<int>(), timings.at("benchmarks").at(0).value("repetitions", 0));
    print_table(timings, timings_o2, counters);
    print_reasons(counters);
    for (const auto& note : counters.value("notes", json::array()))
        std::printf("  %s\n", note.get<std::string>().c_str());
    std::set<std::string> flags;
    for (const json* flagged : {&counters, &machine})
        for (const auto& flag : flagged->value("flags", json::array()))
            flags.insert(flag.get<std::string>());
    for (const auto& flag : flags)
        std::printf("  FLAGGED: %s\n", flag.c_str());
    return 0;
}

}  // namespace

int main()
{
    return guarded("board_summary", run);
}
