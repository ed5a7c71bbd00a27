// board_summary: the board's run in one table, from the results folder it is
// run in: per kernel, the time per call and its spread (Google Benchmark's
// median and coefficient of variation), the speed-up over the first kernel,
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

// kernel -> aggregate name -> real time, for the timings of the counters'
// shape.
std::map<std::string, std::map<std::string, double>> medians(const json& timings)
{
    std::map<std::string, std::map<std::string, double>> found;
    for (const auto& run : timings.at("benchmarks"))
        if (run.value("run_type", "") == "aggregate")
            found[run.at("label").get<std::string>()][run.at("aggregate_name").get<std::string>()] =
                run.at("real_time").get<double>();
    return found;
}

std::string figure(const json& values, const std::string& kernel, double scale, const char* format)
{
    char text[32];
    if (!values.is_object() || !values.contains(kernel))
        std::snprintf(text, sizeof text, "%11s", "n/a");
    else
        std::snprintf(text, sizeof text, format, values[kernel].get<double>() * scale);
    return text;
}

void print_table(const json& timings, const json& counters)
{
    const auto times = medians(timings);
    const json& counts = counters.at("counters");
    const double macs = counters.at("outputs").get<double>() * counters.at("taps").get<double>();
    const std::string reference = counters.at("kernels").at(0).get<std::string>();
    std::printf("%-9s %8s %7s %7s %11s %11s %11s %11s\n", "kernel", "ms/call", "spread", ("vs " + reference).c_str(),
                "instr/MAC", "cycles/MAC", "IPC", "MHz");
    const json none = json::object();
    json ipc = json::object();
    for (const auto& [kernel, cycles] : counts.value("cycles", none).items())
        if (counts.value("instructions", none).contains(kernel))
            ipc[kernel] = counts["instructions"][kernel].get<double>() / cycles.get<double>();
    for (const auto& name : counters.at("kernels")) {
        const std::string kernel = name.get<std::string>();
        const auto time = times.find(kernel);
        if (time == times.end() || time->second.count("median") == 0 || times.count(reference) == 0) {
            std::printf("%-9s %8s %7s %7s", kernel.c_str(), "n/a", "n/a", "n/a");
        } else {
            const double ms = time->second.at("median");
            std::printf("%-9s %8.2f %6.1f%% %6.2fx", kernel.c_str(), ms, 100 * time->second.at("cv"),
                        times.at(reference).at("median") / ms);
        }
        std::printf("%s%s%s%s\n", figure(counts.value("instructions", none), kernel, 1 / macs, "%11.2f").c_str(),
                    figure(counts.value("cycles", none), kernel, 1 / macs, "%11.2f").c_str(),
                    figure(ipc, kernel, 1, "%11.2f").c_str(),
                    figure(counters.value("mhz", none), kernel, 1, "%11.0f").c_str());
    }
}

// Each reason once, with the counters it keeps out.
void print_reasons(const json& counters)
{
    std::map<std::string, std::string> by_reason;
    for (const auto& [event, reason] : counters.at("unavailable").items()) {
        std::string& events = by_reason[reason.get<std::string>()];
        events += (events.empty() ? "" : ", ") + event;
    }
    for (const auto& [reason, events] : by_reason)
        std::printf("  %s: n/a, %s\n", events.c_str(), reason.c_str());
}

}  // namespace

int main()
{
    try {
        const json timings = load(fir_results::timings);
        const json counters = load(fir_results::counters);
        const json machine = load(fir_results::machine);
        std::printf(
            "Summary: %s on CPU %d, %s (%d outputs x %d taps; times are "
            "medians of %d repetitions)\n",
            machine.value("core", "an unknown CPU").c_str(), machine.at("cpu").get<int>(),
            counters.at("isa").get<std::string>().c_str(), counters.at("outputs").get<int>(),
            counters.at("taps").get<int>(), timings.at("benchmarks").at(0).value("repetitions", 0));
        print_table(timings, counters);
        print_reasons(counters);
        for (const auto& note : counters.at("notes"))
            std::printf("  %s\n", note.get<std::string>().c_str());
        std::set<std::string> flags;
        for (const json* flagged : {&counters, &machine})
            for (const auto& flag : flagged->value("flags", json::array()))
                flags.insert(flag.get<std::string>());
        for (const auto& flag : flags)
            std::printf("  FLAGGED: %s\n", flag.c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "board_summary: %s\n", error.what());
        return 1;
    }
    return 0;
}
