#include "cpu.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

// 0 1 2 3 6 -> "0-3,6"
std::string cpu_ranges(const std::vector<int>& cpus)
{
    std::string text;
    for (std::size_t i = 0; i < cpus.size(); i++) {
        std::size_t last = i;
        while (last + 1 < cpus.size() && cpus[last + 1] == cpus[last] + 1)
            last++;
        text += (text.empty() ? "" : ",") + std::to_string(cpus[i]);
        if (last > i)
            text += "-" + std::to_string(cpus[last]);
        i = last;
    }
    return text.empty() ? "none" : text;
}

bool holds(const std::vector<int>& cpus, long cpu)
{
    return std::find(cpus.begin(), cpus.end(), cpu) != cpus.end();
}

// FIR_CPU's CPU, pinned, or why it cannot be had: not a number, not online,
// not allowed to this process (past cpu_set_t's size included), or refused
// by the kernel; always with the CPUs that can be.
Pinning pin_named(System& system, const char* fir_cpu)
{
    Pinning pinning;
    pinning.named = true;
    const std::vector<int> online = cpu_list(first_line(system, "/sys/devices/system/cpu/online").value_or(""));
    const std::vector<int> allowed = system.allowed_cpus();
    char* end = nullptr;
    const long cpu = std::strtol(fir_cpu, &end, 10);
    std::string problem;
    if (*end != '\0' || end == fir_cpu || cpu < 0)
        problem = "is not a CPU number";
    else if (!online.empty() && !holds(online, cpu))
        problem = "is not an online CPU";
    else if (!holds(allowed, cpu))
        problem = "is not a CPU this process may run on (its cgroup's cpuset, or taskset)";
    else if (const int error = system.pin(static_cast<int>(cpu)); error != 0)
        problem = std::string("cannot be had: ") + std::strerror(error);
    if (problem.empty()) {
        pinning.cpu = static_cast<int>(cpu);
        return pinning;
    }
    pinning.problem = std::string("FIR_CPU=") + fir_cpu + " " + problem + "; online: " +
                      (online.empty() ? "unknown" : cpu_ranges(online)) + ", allowed to this process: " +
                      cpu_ranges(allowed);
    return pinning;
}

}  // namespace

Pinning pin_thread(System& system, const char* fir_cpu)
{
    if (fir_cpu != nullptr && *fir_cpu != '\0')
        return pin_named(system, fir_cpu);
    Pinning pinning;
    pinning.cpu = system.current_cpu();
    if (const int error = system.pin(pinning.cpu); error != 0)
        pinning.problem = "cannot stay on CPU " + std::to_string(pinning.cpu) + ": " + std::strerror(error);
    return pinning;
}

std::vector<int> cpu_list(const std::string& text)
{
    std::vector<int> cpus;
    std::istringstream ranges(text);
    std::string range;
    while (std::getline(ranges, range, ',')) {
        int first = 0, last = 0;
        char dash = 0;
        std::istringstream parts(range);
        if (!(parts >> first))
            return {};
        last = (parts >> dash >> last) && dash == '-' ? last : first;
        for (int cpu = first; cpu <= last; cpu++)
            cpus.push_back(cpu);
    }
    return cpus;
}

std::vector<Pmu> cpu_pmus(const System& system)
{
    const std::string devices = "/sys/bus/event_source/devices/";
    std::vector<Pmu> pmus;
    for (const std::string& name : system.folder(devices)) {
        const auto cpus = first_line(system, devices + name + "/cpus");
        const auto type = number_in(system, devices + name + "/type");
        if (cpus && type)
            pmus.push_back({name, static_cast<std::uint32_t>(*type), cpu_list(*cpus)});
    }
    return pmus;
}

std::optional<Pmu> pmu_of(const std::vector<Pmu>& pmus, int cpu)
{
    for (const Pmu& pmu : pmus)
        if (std::find(pmu.cpus.begin(), pmu.cpus.end(), cpu) != pmu.cpus.end())
            return pmu;
    return std::nullopt;
}

namespace {

struct ArmCore {
    const char* part;
    const char* name;
    // Its PMU lacks event 0x08, instructions architecturally executed, so
    // Linux counts its instructions with 0x68, as they leave register renaming.
    bool instructions_at_rename;
};

// Arm's own cores (implementer 0x41) that this benchmark's boards carry.
const ArmCore* arm_core(const std::string& part)
{
    static const ArmCore cores[] = {
        {"0xc05", "Cortex-A5", false},  {"0xc07", "Cortex-A7", false},  {"0xc08", "Cortex-A8", false},
        {"0xc09", "Cortex-A9", true},   {"0xc0d", "Cortex-A12", false}, {"0xc0e", "Cortex-A17", false},
        {"0xc0f", "Cortex-A15", false}, {"0xd03", "Cortex-A53", false}, {"0xd04", "Cortex-A35", false},
        {"0xd05", "Cortex-A55", false}, {"0xd07", "Cortex-A57", false}, {"0xd08", "Cortex-A72", false},
        {"0xd09", "Cortex-A73", false}, {"0xd0b", "Cortex-A76", false},
    };
    for (const ArmCore& core : cores)
        if (part == core.part)
            return &core;
    return nullptr;
}

std::string value_of(const std::string& line)
{
    const std::size_t colon = line.find(':');
    const std::size_t start = line.find_first_not_of(" \t", colon + 1);
    return colon == std::string::npos || start == std::string::npos ? "" : line.substr(start);
}

}  // namespace

CpuIdentity identify_cpu(const System& system, int cpu)
{
    // /proc/cpuinfo has a block per CPU, each opened by "processor : N"; an
    // older ARMv7 kernel names the model once, as "Processor", for all.
    CpuIdentity identity;
    std::istringstream lines(system.file("/proc/cpuinfo").value_or(""));
    std::string line;
    int block = -1;
    while (std::getline(lines, line)) {
        const std::string key = line.substr(0, line.find_first_of("\t:"));
        if (key == "processor")
            block = static_cast<int>(std::strtol(value_of(line).c_str(), nullptr, 10));
        else if ((key == "model name" && block == cpu) || (key == "Processor" && identity.model.empty()))
            identity.model = value_of(line);
        else if (key == "CPU part" && (block == cpu || identity.part.empty()))
            identity.part = value_of(line);
    }
    // An arm64 kernel names no model: the part number is all there is.
    const ArmCore* core = arm_core(identity.part);
    identity.core = core != nullptr ? core->name : identity.model;
    identity.instructions_at_rename = core != nullptr && core->instructions_at_rename;
    if (identity.model.empty())
        identity.model = identity.core;
    return identity;
}

std::vector<int> one_cpu_of_each_kind(System& system)
{
    std::vector<int> cpus = cpu_list(first_line(system, "/sys/devices/system/cpu/online").value_or(""));
    const std::vector<int> allowed = system.allowed_cpus();
    if (cpus.empty())
        cpus = allowed;
    const std::vector<Pmu> pmus = cpu_pmus(system);
    std::vector<std::string> kinds;
    std::vector<int> chosen;
    for (const int cpu : cpus) {
        if (!holds(allowed, cpu))
            continue;
        const auto pmu = pmu_of(pmus, cpu);
        const std::string kind = identify_cpu(system, cpu).part + "/" + (pmu ? pmu->name : "");
        if (std::find(kinds.begin(), kinds.end(), kind) == kinds.end()) {
            kinds.push_back(kind);
            chosen.push_back(cpu);
        }
    }
    if (chosen.size() < 2)
        return {system.current_cpu()};
    return chosen;
}
