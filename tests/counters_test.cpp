// The board's measuring code on scripted boards: a System whose perf events,
// /proc and /sys files, privilege and firmware answer as those boards' would,
// by the Linux sources and what board users report. No board or hardware
// counter is to be had here, so the decisions are tested this way, one table
// of boards; the real path keeps one test, counting software events as one
// group on this machine.

#include <gtest/gtest.h>
#include <unistd.h>

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
    // errno with which the kernel refuses an event, or 0.
    std::function<int(const perf_event_attr&)> refuse;
    // What the n-th stretch counts: `repetitions` empty brackets, then each
    // kernel's calls in turn.
    std::function<Stretch(int n)> stretch;
    std::vector<std::string> expected;  // in the printed lines, in this order
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

class ScriptedSystem final : public System {
public:
    explicit ScriptedSystem(const Board& board) : board_(board) {}

    int perf_event_open(const perf_event_attr& attr, int group_fd) override
    {
        if (const int error = board_.refuse(attr))
            return -error;
        events_[next_] = {attr.config & 0xffffffffU, attr.type};
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
            const Stretch s = board_.stretch(stretch_);
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
    int pin(int cpu) override { return cpu < 8 ? 0 : EINVAL; }
    bool privileged() override { return board_.privileged; }
    std::optional<std::string> command_output(const std::string& program, const std::string& /*arguments*/) override
    {
        return file("/firmware/" + program);
    }

private:
    struct Totals {
        int reads = 0;
        std::uint64_t enabled = 0, running = 0;
        std::map<int, double> values;
    };
    double value_of(int fd, const Stretch& s)
    {
        const auto [config, type] = events_[fd];
        if (type == PERF_TYPE_SOFTWARE)
            return s.task_ns;
        return config == PERF_COUNT_HW_CPU_CYCLES ? s.cycles : s.instructions;
    }

    const Board& board_;
    int next_ = 3, stretch_ = -1;
    std::map<int, std::pair<std::uint64_t, std::uint32_t>> events_;
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

// A PMU without an event filter (Cortex-A5, A8, A9) refuses to leave the kernel
// out.
std::function<int(const perf_event_attr&)> refuses_exclude(int error)
{
    return [error](const perf_event_attr& attr) {
        return attr.type == PERF_TYPE_HARDWARE && attr.exclude_kernel != 0 ? error : 0;
    };
}

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
         {"on CPU 0", "cycles              27.500    27.500    27.500", "instructions        31.250",
          "task-clock ns       30.556", "instructions/cycle      1.14", "effective MHz          900"}},
        {"A8 that refuses the exclude bit, paranoid 1",
         a_board("1"),
         nullptr,
         false,
         refuses_exclude(EINVAL),
         [](int n) { return n < repetitions ? bracket : call(2, 1, 1000); },
         {"cycles               2.000", "instructions         1.000", user_and_kernel}},
        {"A9 of an old kernel, paranoid 2, no privilege",
         a_board("2"),
         nullptr,
         false,
         refuses_exclude(EPERM),
         [](int n) { return n < repetitions ? bracket : call(2, 1, 1000); },
         {"cycles          not available: perf_event_open: Operation not "
          "permitted (kernel.perf_event_paranoid is 2, "
          "which allows it: kernels before 5.0 say this when a Cortex-A5, A8 or "
          "A9 PMU cannot count user space alone); "
          "to count user and kernel together, which such a PMU allows, run as "
          "root or sudo sysctl "
          "kernel.perf_event_paranoid=1 (kernel.perf_event_paranoid is 2)",
          "task-clock ns        2.000"}},
        {"paranoid 3, no privilege",
         a_board("3"),
         nullptr,
         false,
         [](const perf_event_attr&) { return EACCES; },
         [](int) { return bracket; },
         {"task-clock ns   not available: perf_event_open: Permission denied "
          "(kernel.perf_event_paranoid is 3, "
          "which forbids this user any event: run as root, or sudo sysctl "
          "kernel.perf_event_paranoid=2)"}},
        {"every other call multiplexed",
         a_board("2"),
         nullptr,
         false,
         no_refusal,
         [](int n) { return n < repetitions ? bracket : call(2, 1, 1000, n % 2 + 1); },
         {"cycles               2.000     2.000     2.000",
          "discarded calls (of 4 each): fir 2, fir_opt 2, fir_neon 2"}},
        {"fir_opt migrated to a core whose PMU lacks the events",
         a_board("2"),
         nullptr,
         false,
         no_refusal,
         [](int n) {
             return n < repetitions ? bracket : kernel_of(n) == 1 ? Stretch{1000, 0, 0, 0, 0} : call(2, 1, 1000);
         },
         {"cycles               2.000       n/a     2.000", "discarded calls (of 4 each): fir_opt 4."}},
        {"big.LITTLE, pinned to the A15 by FIR_CPU",
         a_board("2", big_little()),
         "4",
         false,
         [](const perf_event_attr& attr) {
             return attr.type == PERF_TYPE_HARDWARE && attr.config >> 32U != 9 ? ENOENT : 0;
         },
         [](int n) { return n < repetitions ? bracket : call(1, 1, 2000); },
         {"on CPU 4", "cycles               1.000", "effective MHz         2000"}},
        {"big.LITTLE of a kernel that takes no PMU type",
         a_board("2", big_little()),
         "4",
         false,
         [](const perf_event_attr& attr) { return attr.config >> 32U != 0 ? EINVAL : 0; },
         [](int n) { return n < repetitions ? bracket : call(1, 1, 2000); },
         {"cycles               1.000", "cannot be asked for armv7_cortex_a15 by type",
          "choose a CPU of each cluster with FIR_CPU"}},
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
}

INSTANTIATE_TEST_SUITE_P(Boards, ScriptedBoard, testing::ValuesIn(boards()),
                         [](const auto& info) { return "board" + std::to_string(info.index); });

TEST(ScriptedMachine, NamesThePinnedCoreItsCachesAndFlagsAThrottledRun)
{
    const Board pi = boards()[6];  // the big.LITTLE board
    ScriptedSystem system(pi);
    const fs::path root = fs::temp_directory_path() / ("fir-pi-" + std::to_string(::getpid()));
    const auto write = [&](const std::string& path, const std::string& text) { write_file(root, path, text); };
    for (const auto& [path, text] : pi.files)
        write(path, text);
    write("sys/devices/system/cpu/cpu4/cpufreq/scaling_cur_freq", "1500000\n");
    write("sys/class/thermal/thermal_zone0/type", "cpu-thermal\n");
    write("sys/class/thermal/thermal_zone0/temp", "81234\n");
    for (const auto& [index, level, type, size] : {std::tuple{"index0", "1", "Data", "32K"},
                                                   std::tuple{"index1", "1", "Instruction", "32K"},
                                                   std::tuple{"index2", "2", "Unified", "2M"}}) {
        const std::string cache = std::string("sys/devices/system/cpu/cpu4/cache/") + index + "/";
        write(cache + "level", std::string(level) + "\n");
        write(cache + "type", std::string(type) + "\n");
        write(cache + "size", std::string(size) + "\n");
    }
    system.set_root(root.string());
    nlohmann::json machine = machine_facts(system, 4);
    machine["before"] = machine_state(system, 4);
    EXPECT_TRUE(machine_flags(machine).empty());
    write("sys/devices/system/cpu/cpu4/cpufreq/scaling_cur_freq", "600000\n");
    write("firmware/vcgencmd", "throttled=0x50005\n");
    machine["after"] = machine_state(system, 4);
    fs::remove_all(root);

    EXPECT_EQ(machine["core"], "Cortex-A15");
    EXPECT_EQ(machine["pmu"], "armv7_cortex_a15");
    EXPECT_EQ(machine["after"]["temperatures"]["cpu-thermal"], 81.234);
    EXPECT_EQ(machine["caches"].dump(), R"([{"kib":32,"level":1,"type":"Data"},{"kib":32,"level":1,"type":"Instruction"},)"
                                        R"({"kib":2048,"level":2,"type":"Unified"}])");
    const std::vector<std::string> flags = machine_flags(machine);
    ASSERT_EQ(flags.size(), 2u);
    EXPECT_EQ(flags[0], "the CPU's clock changed during the run: 1500 MHz before, 600 after");
    EXPECT_EQ(flags[1],
              "the firmware's throttle flags are 0x50005: "
              "under-voltage now, throttled now, "
              "under-voltage since boot, throttled since boot");
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
// every Linux offers, as one group around a kernel's call. Under qemu, which
// passes no perf events through, what is checked is the line that says why.
TEST(PerfCounters, CountSoftwareEventsAsOneGroupHere)
{
    LinuxSystem system;
    perf_event_attr attr{};
    attr.size = sizeof attr;
    attr.type = PERF_TYPE_SOFTWARE;
    attr.disabled = 1;
    attr.exclude_kernel = 1;
    attr.read_format = PERF_FORMAT_GROUP | PERF_FORMAT_TOTAL_TIME_ENABLED | PERF_FORMAT_TOTAL_TIME_RUNNING;
    attr.config = PERF_COUNT_SW_TASK_CLOCK;
    const int leader = system.perf_event_open(attr, -1);
    if (leader < 0) {
        const bool emulated = !std::string(TEST_EMULATOR).empty();
        EXPECT_TRUE(emulated || counter_failure(-leader, 2).find("paranoid") != std::string::npos)
            << counter_failure(-leader, 2);
        return;
    }
    attr.disabled = 0;
    attr.config = PERF_COUNT_SW_CPU_CLOCK;
    const int member = system.perf_event_open(attr, leader);
    ASSERT_GE(member, 0) << counter_failure(-member, 2);
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
    const auto cpu = static_cast<double>(after[4] - before[4]);
    EXPECT_GT(task, 100000.0);
    EXPECT_NEAR(cpu / task, 1.0, 0.2);
    EXPECT_EQ(after[2] - before[2], after[1] - before[1]);
}

}  // namespace
