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

// The median of each event over the calls counted whole, by event; none
// where fewer than half the calls were.
std::vector<std::optional<double>> medians(const std::vector<std::vector<double>>& kept, int repetitions)
{
    std::vector<std::optional<double>> figures(kept.size());
    for (std::size_t e = 0; e < kept.size(); e++)
        if (!kept[e].empty() && 2 * static_cast<int>(kept[e].size()) >= repetitions)
            figures[e] = median(kept[e]);
    return figures;
}

// Counts `work` repetitions times: each event's counts over the calls counted
// whole.
std::vector<std::vector<double>> count_calls(CounterGroup& group, const std::function<void()>& work, int repetitions,
                                             int& discarded)
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
                kept[e].push_back(counted.values[e]);
    }
    return kept;
}

// An event that read zero over every call counted whole, of every kernel: a
// PMU that is there but not counting. No call does no work.
bool counted_nothing(const std::vector<std::vector<std::vector<double>>>& calls, std::size_t event)
{
    bool any = false;
    for (const auto& kernel : calls)
        for (const double value : kernel[event]) {
            if (value != 0)
                return false;
            any = true;
        }
    return any;
}

const char* const nothing_counted =
    "it counted nothing over whole calls: the PMU is there but not counting (the firmware left it disabled, or an "
    "emulator that does not implement it)";

// Each counter's figure per kernel, less the bracket's own cost, or why the
// counter has none.
void add_counts(nlohmann::json& report, const CounterGroup& group,
                const std::vector<std::vector<std::vector<double>>>& calls,
                const std::vector<std::optional<double>>& overhead, int repetitions)
{
    for (std::size_t e = 0; e < std::size(counter_events); e++) {
        const char* name = counter_events[e].name;
        if (!group.available(e) || counted_nothing(calls, e)) {
            report["unavailable"][name] = group.available(e) ? nothing_counted : group.reason(e);
            continue;
        }
        if (overhead[e])
            report["overhead"][name] = *overhead[e];
        else
            report["notes"].push_back(std::string(name) + ": the empty measurement was not counted whole in half its " +
                                      std::to_string(repetitions) +
                                      " tries, so nothing was subtracted from its figures");
        for (std::size_t k = 0; k < calls.size(); k++)
            if (const auto figure = medians(calls[k], repetitions)[e])
                report["counters"][name][report["kernels"][k].get<std::string>()] = *figure - overhead[e].value_or(0.0);
    }
}

// A kernel's figure for a counter that counted it, or nothing.
std::optional<double> counted_figure(const nlohmann::json& counters, const char* event, const std::string& kernel)
{
    if (!counters.contains(event) || !counters[event].contains(kernel) || counters[event][kernel] <= 0)
        return std::nullopt;
    return counters[event][kernel].get<double>();
}

// The figures derived from two counters, where both counted a kernel:
// instructions per cycle, and the effective clock (cycles over the task
// clock), with a flag where the kernels' clocks differ.
void add_derived(nlohmann::json& report)
{
    const auto& counters = report["counters"];
    std::vector<double> clocks;
    for (const auto& name : report["kernels"]) {
        const std::string kernel = name.get<std::string>();
        const auto cycles = counted_figure(counters, "cycles", kernel);
        if (!cycles)
            continue;
        if (const auto instructions = counted_figure(counters, "instructions", kernel))
            report["ipc"][kernel] = *instructions / *cycles;
        const auto task_ns = counted_figure(counters, "task-clock", kernel);
        if (!task_ns)
            continue;
        // cycles per nanosecond is GHz
        const double mhz = *cycles / *task_ns * 1000;
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
    CounterSetup setup;
    setup.cpu = pinning.cpu;
    setup.paranoid = perf_paranoid(system);
    setup.privileged = system.privileged();
    setup.namespaced = !initial_user_namespace(system);
    CounterGroup group(system, setup);
    const std::optional<Pmu> pmu = pmu_of(cpu_pmus(system), pinning.cpu);

    nlohmann::json report = {{"isa", request.isa},
                             {"outputs", request.outputs},
                             {"taps", request.taps},
                             {"repetitions", request.repetitions},
                             {"cpu", pinning.cpu},
                             {"pmu", pmu ? pmu->name : ""},
                             {"kernels", nlohmann::json::array()},
                             {"counters", nlohmann::json::object()},
                             {"overhead", nlohmann::json::object()},
                             {"discarded", nlohmann::json::object()},
                             {"unavailable", nlohmann::json::object()},
                             {"flags", nlohmann::json::array()},
                             {"notes", nlohmann::json::array()}};
    for (const std::string& note : {pinning.problem, group.scope()})
        if (!note.empty())
            report["notes"].push_back(note);
    if (!group.scope().empty())
        report["scope"] = group.scope();

    const int len = request.outputs + request.taps;
    const FilterData data = timed_data(request.outputs, request.taps);
    std::vector<float> out(request.outputs, 0.0f);

    // The bracket's own cost: the same start and stop around nothing.
    int ignored = 0;
    const auto overhead = medians(count_calls(
                                      group, [] {}, request.repetitions, ignored),
                                  request.repetitions);
    std::vector<std::vector<std::vector<double>>> calls;
    for (const FirKernelEntry& k : fir_kernels) {
        report["kernels"].push_back(k.name);
        int discarded = 0;
        calls.push_back(count_calls(
            group, [&] { k.run(data.coeffs.data(), data.in.data(), out.data(), len, request.taps); },
            request.repetitions, discarded));
        report["discarded"][k.name] = discarded;
    }
    add_counts(report, group, calls, overhead, request.repetitions);
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
           ". They were not counted whole: the events were multiplexed with another user of the PMU, or the call ran "
           "off the CPU they count on. A kernel keeps no figure where fewer than half its calls remain.";
}

}  // namespace

std::vector<std::string> counter_lines(const nlohmann::json& report)
{
    const double macs = report["outputs"].get<double>() * report["taps"].get<double>();
    const std::string pmu = report["pmu"].get<std::string>();
    const std::string where = "CPU " + std::to_string(report["cpu"].get<int>()) + (pmu.empty() ? "" : " (PMU " + pmu + ")");
    char title[300];
    std::snprintf(title, sizeof title,
                  "CPU counters per multiply-add, for each kernel's calls alone (%d outputs x %d taps, median of %d "
                  "calls, on %s):",
                  report["outputs"].get<int>(), report["taps"].get<int>(), report["repetitions"].get<int>(),
                  where.c_str());
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
