// machine_info [--root DIR] cpu|kinds|begin|end|show: the CPU a board's run
// is on, the board's machine.json in the results folder, or (show) what this
// machine is, on standard output. cpu binds itself to the CPU that FIR_CPU
// names, or to the one it starts on, and prints that CPU's number (for the
// other programs' FIR_CPU), or refuses a CPU that cannot be had, before the
// run makes anything. kinds prints, a line each, the CPUs the run measures:
// FIR_CPU's, or one of each kind of core. begin writes what the board is, which bundle measured
// it, and its clock, governor, temperatures and throttling before the run; end
// adds the same state after the run and the flags of a run whose clock may
// have moved. --root reads /proc and /sys under DIR instead of /.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "cpu.h"
#include "guarded.h"
#include "machine.h"
#include "provenance.h"
#include "results_files.h"

namespace {

int usage()
{
    std::fprintf(stderr, "usage: machine_info [--root DIR] cpu|kinds|begin|end|show\n");
    return 2;
}

int fail(const std::string& problem)
{
    std::fprintf(stderr, "machine_info: %s\n", problem.c_str());
    return 1;
}

int save(const nlohmann::json& machine)
{
    std::ofstream file(fir_results::machine);
    // Text from /proc and /sys goes in as it is: a byte that is not UTF-8 is
    // replaced, not fatal.
    file << machine.dump(1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    return file.flush() ? 0 : fail(std::string(fir_results::machine) + ": cannot be written");
}

int cpu(LinuxSystem& system)
{
    const Pinning pinning = pin_thread(system, std::getenv("FIR_CPU"));
    if (!pinning.problem.empty())
        return fail(pinning.problem);
    std::printf("%d\n", pinning.cpu);
    return 0;
}

int kinds(LinuxSystem& system)
{
    const char* fir_cpu = std::getenv("FIR_CPU");
    if (fir_cpu != nullptr && *fir_cpu != '\0')
        return cpu(system);
    for (const int one : one_cpu_of_each_kind(system))
        std::printf("%d\n", one);
    return 0;
}

int begin(LinuxSystem& system)
{
    const Pinning pinning = pin_thread(system, std::getenv("FIR_CPU"));
    if (!pinning.problem.empty())
        return fail(pinning.problem);
    nlohmann::json machine = machine_facts(system, pinning.cpu);
    machine["build"] = {{"commit", FIR_COMMIT},
                        {"modified", FIR_MODIFIED},
                        {"compiler", FIR_COMPILER},
                        {"flags", FIR_FLAGS},
                        {"date", FIR_BUILD_DATE}};
    machine["before"] = machine_state(system, pinning.cpu);
    return save(machine);
}

int end(LinuxSystem& system)
{
    std::ifstream file(fir_results::machine);
    const nlohmann::json machine_read = nlohmann::json::parse(file, nullptr, false);
    if (machine_read.is_discarded() || !machine_read.contains("cpu"))
        return fail(std::string(fir_results::machine) + ": missing or not written by machine_info begin");
    nlohmann::json machine = machine_read;
    machine["after"] = machine_state(system, machine["cpu"].get<int>());
    machine["flags"] = machine_flags(machine);
    return save(machine);
}

int run(int argc, char** argv)
{
    LinuxSystem system;
    int i = 1;
    if (i + 1 < argc && std::strcmp(argv[i], "--root") == 0) {
        system.set_root(argv[i + 1]);
        i += 2;
    }
    if (i + 1 != argc)
        return usage();
    if (std::strcmp(argv[i], "cpu") == 0)
        return cpu(system);
    if (std::strcmp(argv[i], "kinds") == 0)
        return kinds(system);
    if (std::strcmp(argv[i], "begin") == 0)
        return begin(system);
    if (std::strcmp(argv[i], "end") == 0)
        return end(system);
    if (std::strcmp(argv[i], "show") == 0) {
        const nlohmann::json facts = machine_facts(system, system.current_cpu());
        std::printf("%s\n", facts.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
        return 0;
    }
    return usage();
}

}  // namespace

int main(int argc, char** argv)
{
    return guarded("machine_info", [&] { return run(argc, argv); });
}
