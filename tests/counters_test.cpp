// The board's measuring code on scripted boards: a System whose perf events,
// /proc and /sys files, privilege and firmware answer as those boards' kernels
// do, by Linux's sources and as Debian's own Arm kernels did under
// qemu-system (scripts/vm). No board or hardware counter is to be had here,
// so the decisions are tested this way, one table of boards; the real path
// keeps one test, counting software events as one group on this machine.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "counter_report.h"
#include "cpu.h"
#include "fir.h"
#include "machine.h"
#include "perf_counters.h"
#include "sweep_shapes.h"

namespace {

namespace fs = std::filesystem;

// What one counted stretch adds to each event and to the group's times.
struct Stretch {
    std::uint64_t enabled, running;
    double cycles, instructions, task_ns;
};

struct Board {
    const char* name;
    std::map<std::string, std::string> files;  // under the root folder
    const char* fir_cpu;
    bool privileged;
    // errno with which the kernel refuses an event bound to a CPU, or 0.
    std::function<int(const perf_event_attr&)> refuse;
    // What the n-th stretch counts: `repetitions` empty brackets, then each
    // kernel's calls in turn.
    std::function<Stretch(int n)> stretch;
    std::vector<std::string> expected;  // in the printed lines, in this order
    std::vector<std::string> absent = {};
    // The kernel's CPU PMUs in the order it registered them, by the CPUs each
    // serves; none: one PMU for every CPU.
    std::vector<std::vector<int>> pmus = {};
};

void PrintTo(const Board& board, std::ostream* out)
{
    *out << board.name;
}

const int outputs = 64, taps = 16, repetitions = 4;
const double macs = outputs * taps;

// An empty bracket counts this much; each kernel's call as much again on top of
// its own.
const Stretch bracket{1000, 1000, 100, 50, 200};
Stretch call(double cycles_per_mac, double instructions_per_mac, double mhz, std::uint64_t running_share = 1)
{
    const double cycles = cycles_per_mac * macs;
    const auto enabled = static_cast<std::uint64_t>(cycles / mhz * 1000);
    return {enabled, enabled / running_share, cycles + bracket.cycles,
            instructions_per_mac * macs + bracket.instructions, cycles / mhz * 1000 + bracket.task_ns};
}

int kernel_of(int n)
{
    return n / repetitions - 1;  // -1: the empty brackets
}

// A kernel's perf core as Linux's is: a hardware event bound to a CPU lands
// on the PMU that serves it (the others answer ENOENT), an unbound one on the
// first PMU; a group counts only while its thread runs on a CPU that each of
// its PMUs serves.
class ScriptedSystem final : public System {
public:
    explicit ScriptedSystem(const Board& board) : board_(board) {}

    int perf_event_open(const perf_event_attr& attr, int cpu, int group_fd) override
    {
        if (const int error = board_.refuse(attr))
            return -error;
        int pmu = -1;
        if (attr.type == PERF_TYPE_HARDWARE && !board_.pmus.empty()) {
            pmu = cpu < 0 ? 0 : pmu_serving(cpu);
            if (pmu < 0)
                return -ENOENT;
        }
        events_[next_] = {attr.config, attr.type, pmu};
        leaders_[group_fd < 0 ? next_ : group_fd].push_back(next_);
        return next_++;
    }
    void ioctl_group(int fd, unsigned long request) override
    {
        if (request == PERF_EVENT_IOC_ENABLE && fd == leaders_.begin()->first)
            stretch_++;
    }
    std::vector<std::uint64_t> read_group(int fd, std::size_t members) override
    {
        Totals& totals = totals_[fd];
        if (totals.reads++ % 2 == 1) {
            Stretch s = board_.stretch(stretch_);
            if (!runs_here(fd))
                s = {s.enabled, 0, 0, 0, 0};
            totals.enabled += s.enabled;
            totals.running += s.running;
            for (const int member : leaders_[fd])
                totals.values[member] += value_of(member, s);
        }
        std::vector<std::uint64_t> words = {members, totals.enabled, totals.running};
        for (const int member : leaders_[fd])
            words.push_back(static_cast<std::uint64_t>(totals.values[member]));
        return words;
    }
    void close(int /*fd*/) override {}
    int current_cpu() override { return 0; }
    std::vector<int> allowed_cpus() override { return {0, 1, 2, 3, 4, 5, 6, 7}; }
    int pin(int cpu) override
    {
        pinned_ = cpu;
        return 0;
    }
    bool privileged() override { return board_.privileged; }
    CommandOutput command_output(const std::string& program, const std::string& /*arguments*/) override
    {
        const auto said = file("/firmware/" + program);
        return said ? CommandOutput{*said, ""} : CommandOutput{"", program + " is not installed"};
    }

private:
    struct Event {
        std::uint64_t config;
        std::uint32_t type;
        int pmu;  // cppcheck-suppress unusedStructMember ; index into the board's PMUs, -1 for any CPU
    };
    struct Totals {
        int reads = 0;
        std::uint64_t enabled = 0, running = 0;
        std::map<int, double> values;
    };
    [[nodiscard]] int pmu_serving(int cpu) const
    {
        for (std::size_t i = 0; i < board_.pmus.size(); i++)
            if (std::count(board_.pmus[i].begin(), board_.pmus[i].end(), cpu) > 0)
                return static_cast<int>(i);
        return -1;
    }
    bool runs_here(int leader)
    {
        return std::all_of(leaders_[leader].begin(), leaders_[leader].end(), [&](int member) {
            return events_[member].pmu < 0 || events_[member].pmu == pmu_serving(pinned_);
        });
    }
    double value_of(int fd, const Stretch& s)
    {
        const Event& event = events_[fd];
        if (event.type == PERF_TYPE_SOFTWARE)
            return s.task_ns;
        return event.config == PERF_COUNT_HW_CPU_CYCLES ? s.cycles : s.instructions;
    }

    const Board& board_;
    int next_ = 3, stretch_ = -1, pinned_ = 0;
    std::map<int, Event> events_;
    std::map<int, std::vector<int>> leaders_;
    std::map<int, Totals> totals_;
};

std::map<std::string, std::string> a_board(const char* paranoid, std::map<std::string, std::string> more = {})
{
    more["/proc/sys/kernel/perf_event_paranoid"] = paranoid;
    more.emplace("/proc/cpuinfo",
                 "processor\t: 0\nmodel name\t: ARMv7 Processor "
                 "rev 5 (v7l)\nCPU part\t: 0xc07\n");
    more.emplace("/sys/bus/event_source/devices/armv7_cortex_a7/type", "8\n");
    more.emplace("/sys/bus/event_source/devices/armv7_cortex_a7/cpus", "0-3\n");
    return more;
}

int no_refusal(const perf_event_attr& /*attr*/)
{
    return 0;
}

bool counts_user_alone(const perf_event_attr& attr)
{
    return attr.type == PERF_TYPE_HARDWARE && attr.exclude_kernel != 0;
}

// A PMU without an event filter (Cortex-A5, A8, A9) refuses to leave the kernel
// out.
std::function<int(const perf_event_attr&)> refuses_exclude(int error)
{
    return [error](const perf_event_attr& attr) { return counts_user_alone(attr) ? error : 0; };
}

Stretch counts_nothing(int n)
{
    Stretch s = n < repetitions ? bracket : call(2, 1, 1000);
    s.cycles = s.instructions = 0;
    return s;
}

// Cortex-A7 on CPUs 0-3 and A15 on 4-7, as armv7_cortex_a7 and _a15; the
// boards list the kernel's PMUs in either order.
std::map<std::string, std::string> big_little()
{
    return {
        {"/proc/cpuinfo",
         "processor\t: 0\nCPU part\t: 0xc07\n\nprocessor\t: "
         "4\nCPU part\t: 0xc0f\n"},
        {"/sys/bus/event_source/devices/armv7_cortex_a15/type", "9\n"},
        {"/sys/bus/event_source/devices/armv7_cortex_a15/cpus", "4-7\n"},
    };
}

std::vector<Board> boards()
{
    return {
        {"A7 with known counts",
         a_board("2"),
         nullptr,
         false,
         no_refusal,
         [](int n) { return n < repetitions ? bracket : call(27.5, 31.25, 900); },
         {"on CPU 0 (PMU armv7_cortex_a7)", "cycles              27.500    27.500    27.500",
          "instructions        31.250", "task-clock ns       30.556", "instructions/cycle      1.14",
          "effective MHz          900"},
         {"FLAGGED"}},
        {"A8 of a kernel before 5.0 that refuses the exclude bit, paranoid 1",
         a_board("1"),
         nullptr,
         false,
         refuses_exclude(EOPNOTSUPP),
         [](int n) { return n < repetitions ? bracket : call(2, 1, 1000); },
         {"cycles               2.000", "instructions         1.000", user_and_kernel}},
        {"A9, paranoid 2, no privilege",
         a_board("2"),
         nullptr,
         false,
         refuses_exclude(EINVAL),
         [](int n) { return n < repetitions ? bracket : call(2, 1, 1000); },
         {"cycles          not available: perf_event_open: Invalid argument (since Linux 5.0, a PMU without an "
          "event filter (Cortex-A5, A8, A9) refuses to leave the kernel out); to count user and kernel together, "
          "which such a PMU allows, run as root or sudo sysctl kernel.perf_event_paranoid=1",
          "task-clock ns        2.000"}},
        {"A9 whose PMU counts nothing (firmware, or qemu), as root",
         a_board("3"),
         nullptr,
         true,
         refuses_exclude(EINVAL),
         counts_nothing,
         {"cycles          not available: it counted nothing over whole calls",
          "instructions    not available: it counted nothing", "task-clock ns        2.000", user_and_kernel},
         {"instructions/cycle", "effective MHz"}},
        {"A8 at paranoid 1 whose security module refuses the kernel",
         a_board("1"),
         nullptr,
         false,
         [](const perf_event_attr& attr) {
             return attr.type != PERF_TYPE_HARDWARE ? 0 : counts_user_alone(attr) ? EINVAL : EACCES;
         },
         [](int n) { return n < repetitions ? bracket : call(2, 1, 1000); },
         {"cycles          not available: perf_event_open: Invalid argument",
          "; counting user and kernel together failed too: perf_event_open: Permission denied "
          "(kernel.perf_event_paranoid is 1, which allows it: a security module"}},
        {"Debian's paranoid 3, no privilege",
         a_board("3"),
         nullptr,
         false,
         [](const perf_event_attr&) { return EACCES; },
         [](int) { return bracket; },
         {"task-clock ns   not available: perf_event_open: Permission denied "
          "(kernel.perf_event_paranoid is 3, which forbids this user any event: run as root, or sudo sysctl "
          "kernel.perf_event_paranoid=2)"}},
        {"a container whose seccomp profile refuses perf_event_open, as root",
         a_board("2"),
         nullptr,
         true,
         [](const perf_event_attr&) { return EPERM; },
         [](int) { return bracket; },
         {"cycles          not available: perf_event_open: Operation not permitted (refused before any PMU was "
          "asked: a seccomp filter, such as a container's default profile, or a security module)\n",
          "task-clock ns   not available: perf_event_open: Operation not permitted (refused before any PMU was "
          "asked: a seccomp filter, such as a container's default profile, or a security module)"},
         {"counting user and kernel together", "old kernels"}},
        // The task clock refused too tells seccomp from an old kernel's A9, and no setting is to blame.
        {"an ordinary user whose seccomp profile refuses perf_event_open",
         a_board("2"),
         nullptr,
         false,
         [](const perf_event_attr&) { return EPERM; },
         [](int) { return bracket; },
         {"cycles          not available: perf_event_open: Operation not permitted (refused before any PMU was "
          "asked: a seccomp filter, such as a container's default profile, or a security module)\n"},
         {"kernel.perf_event_paranoid=1", "old kernels"}},
        {"root in a container's user namespace, the host at paranoid 3",
         a_board("3", {{"/proc/self/uid_map", "         0     100000      65536\n"}}),
         nullptr,
         false,
         [](const perf_event_attr&) { return EACCES; },
         [](int) { return bracket; },
         {"sudo sysctl kernel.perf_event_paranoid=2 on the host; this process's root is a user namespace's (a "
          "container's), which perf does not take as root"}},
        {"a PMU that counts cycles and maps nothing to instructions",
         a_board("2"),
         nullptr,
         false,
         [](const perf_event_attr& attr) {
             return attr.type == PERF_TYPE_HARDWARE && attr.config == PERF_COUNT_HW_INSTRUCTIONS ? ENOENT : 0;
         },
         [](int n) { return n < repetitions ? bracket : call(2, 1, 1000); },
         {"cycles               2.000", "instructions    not available: perf_event_open: No such file or directory "
                                        "(the PMU that counts cycles on CPU 0 maps no event of its own to this generic "
                                        "one)"}},
        // Cycles 2 a multiply-add, and the bracket's 100 left in: 2 + 100 / 1024.
        {"empty measurements multiplexed",
         a_board("2"),
         nullptr,
         false,
         no_refusal,
         [](int n) { return n < repetitions ? Stretch{1000, 500, 100, 50, 200} : call(2, 1, 1000); },
         {"cycles               2.098", "cycles: the empty measurement was not counted whole in half its 4 tries, so "
                                       "nothing was subtracted from its figures"}},
        {"an errno the counters do not expect",
         a_board("2"),
         nullptr,
         false,
         [](const perf_event_attr& attr) {
             return attr.type == PERF_TYPE_HARDWARE && attr.config == PERF_COUNT_HW_INSTRUCTIONS ? ENOSPC : 0;
         },
         [](int n) { return n < repetitions ? bracket : call(2, 1, 1000); },
         {"cycles               2.000", "instructions    not available: perf_event_open: No space left on device "
                                        "(errno 28; dmesg may say why)"}},
        {"every other call multiplexed",
         a_board("2"),
         nullptr,
         false,
         no_refusal,
         [](int n) { return n < repetitions ? bracket : call(2, 1, 1000, n % 2 + 1); },
         {"cycles               2.000     2.000     2.000",
          "discarded calls (of 4 each): fir 2, fir_opt 2, fir_neon 2"}},
        {"fir_opt ran off the CPU",
         a_board("2"),
         nullptr,
         false,
         no_refusal,
         [](int n) {
             return n < repetitions ? bracket : kernel_of(n) == 1 ? Stretch{1000, 0, 0, 0, 0} : call(2, 1, 1000);
         },
         {"cycles               2.000       n/a     2.000", "discarded calls (of 4 each): fir_opt 4."}},
        {"big.LITTLE, pinned to the A15 by FIR_CPU, the A7's PMU registered first",
         a_board("2", big_little()),
         "4",
         false,
         no_refusal,
         [](int n) { return n < repetitions ? bracket : call(1, 1, 2000); },
         {"on CPU 4 (PMU armv7_cortex_a15)", "cycles               1.000", "effective MHz         2000"},
         {"discarded"},
         {{0, 1, 2, 3}, {4, 5, 6, 7}}},
        {"big.LITTLE, pinned to the A7 by FIR_CPU, the A15's PMU registered first",
         a_board("2", big_little()),
         "1",
         false,
         no_refusal,
         [](int n) { return n < repetitions ? bracket : call(1, 1, 1000); },
         {"on CPU 1 (PMU armv7_cortex_a7)", "cycles               1.000", "effective MHz         1000"},
         {"discarded"},
         {{4, 5, 6, 7}, {0, 1, 2, 3}}},
    };
}

// One file of a made-up /proc and /sys tree, with its folders.
void write_file(const fs::path& root, const std::string& path, const std::string& text)
{
    const fs::path file = root / (path.front() == '/' ? path.substr(1) : path);
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

class ScriptedBoard : public testing::TestWithParam<Board> {
protected:
    void SetUp() override
    {
        root_ = fs::temp_directory_path() / ("fir-board-" + std::to_string(::getpid()));
        for (const auto& [path, text] : GetParam().files)
            write_file(root_, path, text);
        system_.set_root(root_.string());
    }
    void TearDown() override { fs::remove_all(root_); }

    fs::path root_;
    ScriptedSystem system_{GetParam()};
};

TEST_P(ScriptedBoard, CountsWhatItCanAndSaysWhyNot)
{
    const Board& board = GetParam();
    const nlohmann::json report = count_kernels(system_, {outputs, taps, repetitions, board.fir_cpu, "ARMv7"});
    std::string printed;
    for (const std::string& line : counter_lines(report))
        printed += line + "\n";
    std::size_t at = 0;
    for (const std::string& expected : board.expected) {
        const std::size_t found = printed.find(expected, at);
        ASSERT_NE(found, std::string::npos) << "no \"" << expected << "\" after position " << at << " in\n" << printed;
        at = found;
    }
    for (const std::string& absent : board.absent)
        EXPECT_EQ(printed.find(absent), std::string::npos) << "\"" << absent << "\" in\n" << printed;
}

INSTANTIATE_TEST_SUITE_P(Boards, ScriptedBoard, testing::ValuesIn(boards()),
                         [](const auto& info) { return "board" + std::to_string(info.index); });

// A Raspberry Pi 4 under a 64-bit kernel, whose cpuinfo names no model, with
// an ondemand governor: idle before the run and busy just after it, while the
// kernels all ran at one clock.
TEST(ScriptedMachine, NamesTheCoreAndFlagsThrottlingButNotAnIdleClock)
{
    const Board pi{"Pi 4", a_board("2", {{"/proc/cpuinfo", "processor\t: 0\nBogoMIPS\t: 108.00\nCPU part\t: 0xd08\n"}}),
                   nullptr, false, no_refusal, [](int n) { return n < repetitions ? bracket : call(1, 1, 1500); },
                   {}};
    ScriptedSystem system(pi);
    const fs::path root = fs::temp_directory_path() / ("fir-pi-" + std::to_string(::getpid()));
    const auto write = [&](const std::string& path, const std::string& text) { write_file(root, path, text); };
    for (const auto& [path, text] : pi.files)
        write(path, text);
    write("sys/devices/system/cpu/cpu0/cpufreq/scaling_governor", "ondemand\n");
    write("sys/devices/system/cpu/cpu0/cpufreq/scaling_cur_freq", "600000\n");
    write("sys/class/thermal/thermal_zone0/type", "cpu-thermal\n");
    write("proc/device-tree/model", std::string("Raspberry Pi 4 Model B Rev 1.4\0", 31));
    write("proc/device-tree/compatible", std::string("raspberrypi,4-model-b\0brcm,bcm2711\0", 35));
    write("sys/class/thermal/thermal_zone0/temp", "81234\n");
    for (const auto& [index, level, type, size] : {std::tuple{"index0", "1", "Data", "32K"},
                                                   std::tuple{"index1", "1", "Instruction", "48K"},
                                                   std::tuple{"index2", "2", "Unified", "1M"}}) {
        const std::string cache = std::string("sys/devices/system/cpu/cpu0/cache/") + index + "/";
        write(cache + "level", std::string(level) + "\n");
        write(cache + "type", std::string(type) + "\n");
        write(cache + "size", std::string(size) + "\n");
    }
    system.set_root(root.string());
    nlohmann::json machine = machine_facts(system, 0);
    machine["before"] = machine_state(system, 0);
    const nlohmann::json counters = count_kernels(system, {outputs, taps, repetitions, nullptr, "AArch64"});
    write("sys/devices/system/cpu/cpu0/cpufreq/scaling_cur_freq", "1500000\n");
    write("firmware/vcgencmd", "throttled=0x50005\n");
    machine["after"] = machine_state(system, 0);
    fs::remove_all(root);

    EXPECT_EQ(machine["model"], "Cortex-A72");
    EXPECT_EQ(machine["board"], "Raspberry Pi 4 Model B Rev 1.4");
    EXPECT_EQ(machine["compatible"], nlohmann::json({"raspberrypi,4-model-b", "brcm,bcm2711"}));
    EXPECT_EQ(machine["core"], "Cortex-A72");
    EXPECT_EQ(machine["before"]["governor"], "ondemand");
    EXPECT_EQ(machine["after"]["temperatures"]["cpu-thermal"], 81.234);
    EXPECT_EQ(machine["caches"].dump(), R"([{"kib":32,"level":1,"type":"Data"},{"kib":48,"level":1,"type":"Instruction"},)"
                                        R"({"kib":1024,"level":2,"type":"Unified"}])");
    EXPECT_TRUE(counters["flags"].empty()) << counters["flags"];
    EXPECT_EQ(machine_flags(machine), std::vector<std::string>{"the firmware's throttle flags were 0x0 before the run "
                                                               "and 0x50005 after: under-voltage now, throttled now"});
}

// vcgencmd is a Raspberry Pi's alone: absent, or saying what it should not,
// it leaves the throttling unknown, and why, and the run goes on.
TEST(ScriptedMachine, RecordsThrottlingAsUnknownWithoutAWordFromTheFirmware)
{
    const Board board{"vcgencmd", {}, nullptr, false, no_refusal, [](int) { return bracket; }, {}};
    const fs::path root = fs::temp_directory_path() / ("fir-firmware-" + std::to_string(::getpid()));
    ScriptedSystem system(board);
    system.set_root(root.string());
    for (const auto& [said, unknown] : {std::pair{"", "vcgencmd is not installed"},
                                        std::pair{"VCHI initialization failed\n", "vcgencmd get_throttled said \"VCHI "
                                                                                  "initialization failed\""},
                                        std::pair{"throttled=0xfffffffffffffffff\n", "vcgencmd get_throttled said"}}) {
        fs::remove_all(root);
        if (*said != '\0')
            write_file(root, "firmware/vcgencmd", said);
        nlohmann::json machine{{"before", machine_state(system, 0)}};
        EXPECT_TRUE(machine["before"]["throttled"].is_null()) << said;
        EXPECT_EQ(machine["before"]["throttled_unknown"].get<std::string>().rfind(unknown, 0), 0u)
            << machine["before"]["throttled_unknown"];
        EXPECT_TRUE(machine_flags(machine).empty());
    }
    fs::remove_all(root);
}

// One under-voltage dip at boot sets a since-boot bit until the next reboot:
// it flags no run by itself. A condition in force at either reading does, and
// a since-boot bit that the run was the first to see.
TEST(ScriptedMachine, FlagsOnlyAThrottleThatTouchedTheRun)
{
    const std::string was = "the firmware's throttle flags were ";
    for (const auto& [before, after, flag] :
         {std::tuple{nlohmann::json(0x50000), nlohmann::json(0x50000), std::string()},
          std::tuple{nlohmann::json(0), nlohmann::json(0x40000), was + "0x0 before the run and 0x40000 after: "
                                                                         "throttled during the run"},
          std::tuple{nlohmann::json(0x50005), nlohmann::json(0x50000),
                     was + "0x50005 before the run and 0x50000 after: under-voltage as the run began, throttled as "
                           "the run began"},
          std::tuple{nlohmann::json(0x50000), nlohmann::json(0x50001), was + "0x50000 before the run and 0x50001 "
                                                                             "after: under-voltage now"},
          std::tuple{nlohmann::json(), nlohmann::json(0x80000), was + "0x0 before the run and 0x80000 after: soft "
                                                                      "temperature limit during the run"}}) {
        const nlohmann::json machine{{"before", {{"throttled", before}}}, {"after", {{"throttled", after}}}};
        const std::vector<std::string> flags = machine_flags(machine);
        EXPECT_EQ(flags, flag.empty() ? std::vector<std::string>{} : std::vector<std::string>{flag}) << machine;
    }
}

// perf honours root only in the first user namespace, which maps every user
// to itself.
TEST(ScriptedMachine, TellsTheFirstUserNamespaceFromAContainers)
{
    const fs::path root = fs::temp_directory_path() / ("fir-userns-" + std::to_string(::getpid()));
    const Board board{"userns", {}, nullptr, false, no_refusal, [](int) { return bracket; }, {}};
    ScriptedSystem system(board);
    system.set_root(root.string());
    for (const auto& [map, first] : {std::pair{"         0          0 4294967295\n", true},
                                     std::pair{"         0     100000      65536\n", false},
                                     std::pair{"         0       1000          1\n         1     100000      65536\n",
                                               false},
                                     std::pair{"", true}}) {
        fs::remove_all(root);
        if (*map != '\0')
            write_file(root, "/proc/self/uid_map", map);
        EXPECT_EQ(initial_user_namespace(system), first) << map;
    }
    fs::remove_all(root);
}

// FIR_CPU names one CPU, or the run stops before it starts, saying which CPUs
// it could have had.
TEST(Pinning, RefusesACpuThatCannotBeHadNamingTheOnesThatCan)
{
    const Board board{"pinning", {{"/sys/devices/system/cpu/online", "0-3,8-9\n"}}, nullptr, false, no_refusal,
                      [](int) { return bracket; }, {}};
    const fs::path root = fs::temp_directory_path() / ("fir-cpus-" + std::to_string(::getpid()));
    for (const auto& [path, text] : board.files)
        write_file(root, path, text);
    ScriptedSystem system(board);
    system.set_root(root.string());
    const std::string can = "; online: 0-3,8-9, allowed to this process: 0-7";
    for (const auto& [fir_cpu, problem] : {std::pair{"2", std::string()},
                                           std::pair{"5", "FIR_CPU=5 is not an online CPU" + can},
                                           std::pair{"5000", "FIR_CPU=5000 is not an online CPU" + can},
                                           std::pair{"9", "FIR_CPU=9 is not a CPU this process may run on (its "
                                                          "cgroup's cpuset, or taskset)" + can},
                                           std::pair{"-1", "FIR_CPU=-1 is not a CPU number" + can},
                                           std::pair{"1x", "FIR_CPU=1x is not a CPU number" + can}}) {
        const Pinning pinning = pin_thread(system, fir_cpu);
        EXPECT_EQ(pinning.problem, problem) << fir_cpu;
        EXPECT_EQ(pinning.refused(), !problem.empty()) << fir_cpu;
    }
    fs::remove_all(root);
}

// Without FIR_CPU a run measures one CPU of each kind of core: the kinds by
// part number and by the PMU that serves each CPU, among the CPUs online.
TEST(Pinning, ChoosesOneCpuOfEachKindOfCore)
{
    const std::string a7_a15 = "processor\t: 0\nCPU part\t: 0xc07\n\nprocessor\t: 1\nCPU part\t: 0xc07\n\n"
                               "processor\t: 2\nCPU part\t: 0xc0f\n\nprocessor\t: 3\nCPU part\t: 0xc0f\n";
    const std::string two_a15 = "processor\t: 0\nCPU part\t: 0xc0f\n\nprocessor\t: 1\nCPU part\t: 0xc0f\n";
    const std::string pmus = "/sys/bus/event_source/devices/";
    const std::vector<std::pair<std::map<std::string, std::string>, std::vector<int>>> cases = {
        // x86-64: no part numbers, one PMU for every CPU.
        {{{"/sys/devices/system/cpu/online", "0-7\n"}, {pmus + "cpu/type", "4\n"}}, {0}},
        // Odroid-like: A7s on 0-1, A15s on 2-3, each cluster its PMU.
        {{{"/proc/cpuinfo", a7_a15}, {"/sys/devices/system/cpu/online", "0-3\n"}, {pmus + "a7/cpus", "0-1\n"},
          {pmus + "a7/type", "8\n"}, {pmus + "a15/cpus", "2-3\n"}, {pmus + "a15/type", "9\n"}},
         {0, 2}},
        // The same with CPU 2 offline: the other A15 stands for its kind.
        {{{"/proc/cpuinfo", a7_a15}, {"/sys/devices/system/cpu/online", "0-1,3\n"}}, {0, 3}},
        // qemu's two-cluster board: one part, a PMU node a CPU.
        {{{"/proc/cpuinfo", two_a15}, {"/sys/devices/system/cpu/online", "0-1\n"}, {pmus + "a15/cpus", "0\n"},
          {pmus + "a15/type", "8\n"}, {pmus + "a7/cpus", "1\n"}, {pmus + "a7/type", "9\n"}},
         {0, 1}},
        // One kind of core on four CPUs: the CPU the run starts on.
        {{{"/proc/cpuinfo", two_a15}, {"/sys/devices/system/cpu/online", "0-3\n"}, {pmus + "a15/cpus", "0-3\n"},
          {pmus + "a15/type", "8\n"}},
         {0}},
    };
    const fs::path root = fs::temp_directory_path() / ("fir-kinds-" + std::to_string(::getpid()));
    const Board board{"kinds", {}, nullptr, false, no_refusal, [](int) { return bracket; }, {}};
    for (const auto& [files, expected] : cases) {
        fs::remove_all(root);
        for (const auto& [path, text] : files)
            write_file(root, path, text);
        ScriptedSystem system(board);
        system.set_root(root.string());
        EXPECT_EQ(one_cpu_of_each_kind(system), expected) << files.begin()->second;
    }
    fs::remove_all(root);
}

// The sweep's working sets: input and output fill each, in whole groups of four outputs.
TEST(SweepShapes, FillEachWorkingSetInWholeGroupsOfFour)
{
    for (const int kib : fir_sweep::working_set_kib) {
        const int set_taps = fir_sweep::working_set_taps, set_outputs = fir_sweep::outputs_in(kib, set_taps);
        const auto bytes = static_cast<int>((2 * set_outputs + set_taps) * sizeof(float));
        EXPECT_EQ(set_outputs % 4, 0) << kib;
        EXPECT_LE(bytes, kib * 1024) << kib;
        EXPECT_GT(bytes, kib * 1024 - 8 * static_cast<int>(sizeof(float))) << kib;
    }
}

// The real path: this machine's task clock and CPU clock, software events that
// every Linux offers, as one group bound to this CPU around a kernel's call.
// qemu's user-mode emulator passes no perf event through: there what is
// checked is that it says so, ENOSYS; natively, only a refusal of this user
// (paranoid, or a container's seccomp profile) excuses the test.
TEST(PerfCounters, CountSoftwareEventsAsOneGroupHere)
{
    LinuxSystem system;
    const int cpu = system.current_cpu();
    ASSERT_EQ(system.pin(cpu), 0);
    perf_event_attr attr{};
    attr.size = sizeof attr;
    attr.type = PERF_TYPE_SOFTWARE;
    attr.disabled = 1;
    attr.exclude_kernel = 1;
    attr.read_format = PERF_FORMAT_GROUP | PERF_FORMAT_TOTAL_TIME_ENABLED | PERF_FORMAT_TOTAL_TIME_RUNNING;
    attr.config = PERF_COUNT_SW_TASK_CLOCK;
    CounterSetup setup;
    setup.cpu = cpu;
    setup.paranoid = perf_paranoid(system);
    setup.privileged = system.privileged();
    const int leader = system.perf_event_open(attr, cpu, -1);
    if (leader < 0) {
        if (std::string(TEST_EMULATOR).empty())
            EXPECT_TRUE(-leader == EACCES || -leader == EPERM) << counter_failure(-leader, attr, setup);
        else
            EXPECT_EQ(-leader, ENOSYS) << counter_failure(-leader, attr, setup);
        return;
    }
    attr.disabled = 0;
    attr.config = PERF_COUNT_SW_CPU_CLOCK;
    const int member = system.perf_event_open(attr, cpu, leader);
    ASSERT_GE(member, 0) << counter_failure(-member, attr, setup);
    std::vector<float> coeffs(64, 0.5f), in(8192 + 64, 1.0f), out(8192, 0.0f);
    const auto before = system.read_group(leader, 2);
    system.ioctl_group(leader, PERF_EVENT_IOC_ENABLE);
    fir(coeffs.data(), in.data(), out.data(), 8192 + 64, 64);
    system.ioctl_group(leader, PERF_EVENT_IOC_DISABLE);
    const auto after = system.read_group(leader, 2);
    system.close(member);
    system.close(leader);
    ASSERT_EQ(after.size(), 5u);
    EXPECT_EQ(after[0], 2u);
    // Half a million multiply-adds at -O0 take a millisecond or more; both clocks
    // saw the same window.
    const auto task = static_cast<double>(after[3] - before[3]);
    const auto cpu_clock = static_cast<double>(after[4] - before[4]);
    EXPECT_GT(task, 100000.0);
    EXPECT_NEAR(cpu_clock / task, 1.0, 0.2);
    EXPECT_EQ(after[2] - before[2], after[1] - before[1]);
}

}  // namespace
