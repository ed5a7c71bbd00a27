#include "machine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "cpu.h"
#include "perf_counters.h"

namespace {

// The CPU's caches, as sysfs describes them: level, type (Data, Instruction,
// Unified) and size in KiB ("32K", "2048K", "8M").
nlohmann::json caches(const System& system, int cpu)
{
    nlohmann::json found = nlohmann::json::array();
    const std::string folder = "/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/cache/";
    for (const std::string& index : system.folder(folder)) {
        const auto level = number_in(system, folder + index + "/level");
        const auto type = first_line(system, folder + index + "/type");
        const auto size = first_line(system, folder + index + "/size");
        if (!level || !type || !size || size->empty())
            continue;
        const long long number = std::strtoll(size->c_str(), nullptr, 10);
        const long long kib = size->back() == 'M' ? number * 1024 : size->back() == 'G' ? number * 1024 * 1024 : number;
        found.push_back({{"level", *level}, {"type", *type}, {"kib", kib}});
    }
    return found;
}

// A Raspberry Pi's firmware says "throttled=0x50005". Anything else (no
// vcgencmd, as on every other board, a refusal, or words it does not expect)
// leaves the throttling unknown, and why.
void record_throttling(nlohmann::json& state, const CommandOutput& said)
{
    const std::string prefix = "throttled=0x";
    const std::string text = said.text.substr(0, said.text.find('\n'));
    const std::string digits = text.rfind(prefix, 0) == 0 ? text.substr(prefix.size()) : "";
    if (said.problem.empty() && !digits.empty() && digits.size() <= 8 &&
        digits.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos) {
        state["throttled"] = std::stoul(digits, nullptr, 16);
        return;
    }
    state["throttled"] = nullptr;
    state["throttled_unknown"] = said.problem.empty() ? "vcgencmd get_throttled said \"" + text + "\"" : said.problem;
}

}  // namespace

nlohmann::json machine_facts(const System& system, int cpu)
{
    const CpuIdentity identity = identify_cpu(system, cpu);
    const auto pmu = pmu_of(cpu_pmus(system), cpu);
    // A machine of one kind of core may name its PMU without listing CPUs (x86's
    // "cpu").
    const bool one_pmu = number_in(system, "/sys/bus/event_source/devices/cpu/type").has_value();
    nlohmann::json facts = {{"host", first_line(system, "/proc/sys/kernel/hostname").value_or("")},
                            {"kernel", first_line(system, "/proc/sys/kernel/osrelease").value_or("")},
                            {"cpu", cpu},
                            {"model", identity.model},
                            {"part", identity.part},
                            {"core", identity.core},
                            {"instructions_at_rename", identity.instructions_at_rename},
                            {"pmu", pmu       ? pmu->name
                                    : one_pmu ? "cpu"
                                              : ""}};
    if (const auto paranoid = perf_paranoid(system))
        facts["perf_event_paranoid"] = *paranoid;
    // What the device tree says the board is ("Raspberry Pi 4 Model B Rev 1.4"; qemu's virt machine is
    // "linux,dummy-virt"), where there is one: NUL-separated strings.
    if (const auto model = system.file("/proc/device-tree/model"))
        facts["board"] = model->substr(0, model->find('\0'));
    if (const auto compatible = system.file("/proc/device-tree/compatible")) {
        facts["compatible"] = nlohmann::json::array();
        for (std::size_t at = 0, end = 0; at < compatible->size(); at = end + 1) {
            end = std::min(compatible->find('\0', at), compatible->size());
            if (end > at)
                facts["compatible"].push_back(compatible->substr(at, end - at));
        }
    }
    facts["caches"] = caches(system, cpu);
    return facts;
}

nlohmann::json machine_state(System& system, int cpu)
{
    nlohmann::json state = {{"mhz", nlohmann::json::object()}, {"temperatures", nlohmann::json::object()}};
    const std::string cpufreq = "/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/cpufreq/";
    if (const auto governor = first_line(system, cpufreq + "scaling_governor"))
        state["governor"] = *governor;
    for (const char* which : {"cur", "min", "max"})
        if (const auto khz = number_in(system, cpufreq + "scaling_" + which + "_freq"))
            state["mhz"][which] = static_cast<double>(*khz) / 1000;
    for (const std::string& zone : system.folder("/sys/class/thermal")) {
        const std::string path = "/sys/class/thermal/" + zone;
        const auto millidegrees = number_in(system, path + "/temp");
        if (zone.rfind("thermal_zone", 0) == 0 && millidegrees)
            state["temperatures"][first_line(system, path + "/type").value_or(zone)] =
                static_cast<double>(*millidegrees) / 1000;
    }
    record_throttling(state, system.command_output("vcgencmd", "get_throttled"));
    return state;
}

namespace {

// What a Raspberry Pi's firmware flags: bit n of the low four is a condition
// now, bit n + 16 that it happened since boot.
const char* const throttle_conditions[] = {"under-voltage", "clock capped", "throttled", "soft temperature limit"};

unsigned long throttled_at(const nlohmann::json& machine, const char* when)
{
    const auto& flagged = machine.value(when, nlohmann::json::object()).value("throttled", nlohmann::json());
    return flagged.is_number_integer() && flagged >= 0 ? flagged.get<unsigned long>() : 0;
}

// The conditions that touched the run: one in force at either reading, or one
// that the since-boot bits first show after it. A since-boot bit that was set
// before the run (one dip at boot) and is not in force now says nothing of it.
std::string throttle_words(unsigned long before, unsigned long after)
{
    std::string words;
    for (unsigned bit = 0; bit < 4; bit++) {
        const unsigned long now = 1UL << bit, since_boot = 1UL << (bit + 16);
        const char* when = (after & now) != 0                                         ? " now"
                           : (before & now) != 0                                      ? " as the run began"
                           : (after & since_boot) != 0 && (before & since_boot) == 0 ? " during the run"
                                                                                      : nullptr;
        if (when != nullptr)
            words += (words.empty() ? "" : ", ") + std::string(throttle_conditions[bit]) + when;
    }
    return words;
}

}  // namespace

std::vector<std::string> machine_flags(const nlohmann::json& machine)
{
    std::vector<std::string> flags;
    const unsigned long before = throttled_at(machine, "before"), after = throttled_at(machine, "after");
    if (const std::string words = throttle_words(before, after); !words.empty()) {
        char text[128];
        std::snprintf(text, sizeof text, "the firmware's throttle flags were 0x%lx before the run and 0x%lx after: ",
                      before, after);
        flags.push_back(text + words);
    }
    return flags;
}
