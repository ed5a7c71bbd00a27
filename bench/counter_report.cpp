#include "counter_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "cpu.h"
#include "kernel_runs.h"
#include "perf_counters.h"

namespace {

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

CounterSetup setup_for(System& system, int cpu)
{
    const std::vector<Pmu> pmus = cpu_pmus(system);
    const std::optional<Pmu> pmu = pmu_of(pmus, cpu);
    CounterSetup setup;
    // Ask for the pinned CPU's PMU only where a generic event could land on
    // another one.
    if (pmus.size() > 1 && pmu)
        setup.pmu_type = pmu->type;
    setup.pmu_name = pmu ? pmu->name : "";
    setup.paranoid = perf_paranoid(system);
    setup.privileged = system.privileged();
    return setup;
}

// The median of each event over the counts kept, by event; none where too few
// were kept.
std::vector<std::optional<double>> medians(const std::vector<std::vector<double>>& kept, int repetitions)
{
    std::vector<std::optional<double>> figures(kept.size());
    for (std::size_t e = 0; e < kept.size(); e++)
        if (!kept[e].empty() && 2 * static_cast<int>(kept[e].size()) >= repetitions)
            figures[e] = median(kept[e]);
    return figures;
}

// Counts `work` repetitions times; the counts of the calls counted whole, by
// event, less overhead.
std::vector<std::vector<double>> count_calls(CounterGroup& group, const std::function<void()>& work, int repetitions,
                                             const std::vector<double>& overhead, int& discarded)
{
    std::vector<std::vector<double>> kept(std::size(counter_events));
    for (int r = 0; r < repetitions; r++) {
        const Counted counted = group.count(work);
        if (!counted.whole) {
            discarded++;
            continue;
        }
        for (std::size_t e = 0; e < kept.size(); e++)
            if (group.available(e))
                kept[e].push_back(counted.values[e] - overhead[e]);
    }
    return kept;
}

// The figures derived from two counters, where both counted a kernel:
// instructions per cycle, and the effective clock (cycles over the task
// clock), with a flag where the kernels' clocks differ.
void add_derived(nlohmann::json& report)
{
    const auto& counters = report["counters"];
    if (counters.contains("cycles") && counters.contains("instructions"))
        for (const auto& [kernel, cycles] : counters["cycles"].items())
            if (counters["instructions"].contains(kernel))
                report["ipc"][kernel] = counters["instructions"][kernel].get<double>() / cycles.get<double>();
    if (!counters.contains("cycles") || !counters.contains("task-clock"))
        return;
    std::vector<double> clocks;
    for (const auto& [kernel, cycles] : counters["cycles"].items()) {
        if (!counters["task-clock"].contains(kernel))
            continue;
        // cycles per nanosecond is GHz
        const double mhz = cycles.get<double>() / counters["task-clock"][kernel].get<double>() * 1000;
        report["mhz"][kernel] = mhz;
        clocks.push_back(mhz);
    }
    if (clocks.size() > 1) {
        const auto [low, high] = std::minmax_element(clocks.begin(), clocks.end());
        if (*high - *low > clock_spread_limit * *high)
            report["flags"].push_back("the kernels ran at effective clocks from " + std::to_string(std::lround(*low)) +
                                      " to " + std::to_string(std::lround(*high)) +
                                      " MHz: the clock moved during the run (governor or throttling)");
    }
}

}  // namespace

nlohmann::json count_kernels(System& system, const CountRequest& request)
{
    const Pinning pinning = pin_thread(system, request.fir_cpu);
    if (pinning.refused())
        throw PinError(pinning.problem);
    const CounterSetup setup = setup_for(system, pinning.cpu);
    CounterGroup group(system, setup);

    nlohmann::json report = {{"isa", request.isa},
                             {"outputs", request.outputs},
                             {"taps", request.taps},
                             {"repetitions", request.repetitions},
                             {"cpu", pinning.cpu},
                             {"pmu", setup.pmu_name},
                             {"kernels", nlohmann::json::array()},
                             {"counters", nlohmann::json::object()},
                             {"overhead", nlohmann::json::object()},
                             {"discarded", nlohmann::json::object()},
                             {"unavailable", nlohmann::json::object()},
                             {"flags", nlohmann::json::array()},
                             {"notes", nlohmann::json::array()}};
    for (const std::string& note : {pinning.problem, group.scope(), group.pmu_note()})
        if (!note.empty())
            report["notes"].push_back(note);
    if (!group.scope().empty())
        report["scope"] = group.scope();

    const int len = request.outputs + request.taps;
    const FilterData data = timed_data(request.outputs, request.taps);
    std::vector<float> out(request.outputs, 0.0f);

    // The bracket's own cost: the same start and stop around nothing.
    int ignored = 0;
    const std::vector<double> none(std::size(counter_events), 0.0);
    const auto empty = medians(count_calls(
                                   group, [] {}, request.repetitions, none, ignored),
                               request.repetitions);
    std::vector<double> overhead(std::size(counter_events), 0.0);
    for (std::size_t e = 0; e < std::size(counter_events); e++) {
        if (!group.available(e)) {
            report["unavailable"][counter_events[e].name] = group.reason(e);
            continue;
        }
        overhead[e] = empty[e].value_or(0.0);
        report["overhead"][counter_events[e].name] = overhead[e];
    }

    for (const FirKernelEntry& k : fir_kernels) {
        report["kernels"].push_back(k.name);
        int discarded = 0;
        const auto kept = count_calls(
            group, [&] { k.run(data.coeffs.data(), data.in.data(), out.data(), len, request.taps); }, request.repetitions,
            overhead, discarded);
        report["discarded"][k.name] = discarded;
        const auto figures = medians(kept, request.repetitions);
        for (std::size_t e = 0; e < figures.size(); e++)
            if (figures[e])
                report["counters"][counter_events[e].name][k.name] = *figures[e];
    }
    add_derived(report);
    return report;
}

namespace {

std::string cell(const nlohmann::json& figures, const std::string& kernel, double scale, const char* format)
{
    if (!figures.contains(kernel))
        return "       n/a";
    char text[32];
    std::snprintf(text, sizeof text, format, figures[kernel].get<double>() * scale);
    return text;
}

// A line's first column: the counter's or figure's name.
std::string label(const std::string& name)
{
    char text[32];
    std::snprintf(text, sizeof text, "  %-16s", name.c_str());
    return text;
}

std::string row(const std::string& name, const nlohmann::json& report, const nlohmann::json& figures, double scale,
                const char* format)
{
    std::string line = label(name);
    for (const auto& kernel : report["kernels"])
        line += cell(figures, kernel.get<std::string>(), scale, format);
    return line;
}

std::string discards(const nlohmann::json& report)
{
    std::string listed;
    for (const auto& kernel : report["kernels"]) {
        const int count = report["discarded"][kernel.get<std::string>()].get<int>();
        if (count > 0)
            listed += (listed.empty() ? "" : ", ") + kernel.get<std::string>() + " " + std::to_string(count);
    }
    if (listed.empty())
        return "";
    return "  discarded calls (of " + std::to_string(report["repetitions"].get<int>()) + " each): " + listed +
           ". They were not counted whole: the events were multiplexed with others, or the call ran on a core whose "
           "PMU does not hold them. A kernel keeps no figure where fewer than half its calls remain.";
}

}  // namespace

std::vector<std::string> counter_lines(const nlohmann::json& report)
{
    const double macs = report["outputs"].get<double>() * report["taps"].get<double>();
    char title[200];
    std::snprintf(title, sizeof title,
                  "CPU counters per multiply-add, for each kernel's calls alone (%d outputs x %d taps, median of %d "
                  "calls, on CPU %d):",
                  report["outputs"].get<int>(), report["taps"].get<int>(), report["repetitions"].get<int>(),
                  report["cpu"].get<int>());
    std::vector<std::string> lines = {title, "  counter         "};
    for (const auto& kernel : report["kernels"]) {
        char name[32];
        std::snprintf(name, sizeof name, "%10s", kernel.get<std::string>().c_str());
        lines[1] += name;
    }
    const auto& counters = report["counters"];
    for (const CounterEvent& event : counter_events) {
        const std::string name = std::string(event.name) + event.unit;
        if (report["unavailable"].contains(event.name)) {
            lines.push_back(label(name) + "not available: " + report["unavailable"][event.name].get<std::string>());
        } else {
            lines.push_back(
                row(name, report, counters.value(event.name, nlohmann::json::object()), 1 / macs, "%10.3f"));
        }
    }
    if (report.contains("ipc"))
        lines.push_back(row("instructions/cycle", report, report["ipc"], 1, "%10.2f"));
    if (report.contains("mhz"))
        lines.push_back(row("effective MHz", report, report["mhz"], 1, "%10.0f"));
    if (const std::string line = discards(report); !line.empty())
        lines.push_back(line);
    for (const auto& note : report["notes"])
        lines.push_back("  " + note.get<std::string>());
    for (const auto& flag : report["flags"])
        lines.push_back("  FLAGGED: " + flag.get<std::string>());
    return lines;
}
