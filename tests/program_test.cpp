// fir_benchmark and make_samples run as a user runs them: in a directory of
// their own, through the target's emulator when cross-built.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "benchmark_run.h"
#include "fir.h"

namespace fs = std::filesystem;
using fir_run::num_samples, fir_run::num_taps, fir_run::out_len, fir_run::padded_len;

namespace {

const char* const all_zero = "RMSE_naive: 0.00\nRMSE_opt:   0.00\nRMSE_neon:  0.00\n";

struct Outcome {
    int status;
    std::string out, err;
};

std::string slurp(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The values as a file's text, each followed by `separator`.
std::string join(const std::vector<std::string>& values, const char* separator = "\n")
{
    std::string text;
    for (const std::string& v : values)
        text += v + separator;
    return text;
}

// A fresh directory for each test, removed afterwards.
class InDirectory : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string name = (fs::temp_directory_path() / "fir_test_XXXXXX").string();
        ASSERT_NE(mkdtemp(name.data()), nullptr);
        dir = name;
    }
    void TearDown() override { fs::remove_all(dir); }

    // Runs `program` with `args` in the directory; `shell_prefix` goes before
    // it. Standard output goes to `out_file`, read back when it is the
    // directory's own.
    Outcome run(const char* program, const std::string& args = "", const std::string& shell_prefix = "",
                const std::string& out_file = "stdout.txt") const
    {
        const std::string command = "cd '" + dir.string() + "' && " + shell_prefix + " " TEST_EMULATOR " '" +
                                    program + "' " + args + " >" + out_file + " 2>stderr.txt";
        const int status = std::system(command.c_str());  // NOLINT(cert-env33-c): the shell sets up each run
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                fs::path(out_file).is_relative() ? slurp(dir / out_file) : "", slurp(dir / "stderr.txt")};
    }

    void write(const char* name, const std::string& text) const { std::ofstream(dir / name, std::ios::binary) << text; }

    fs::path dir;
};

std::string as_text(float v)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.9g", static_cast<double>(v));
    return buffer;
}

// A refused run: status 1, nothing on standard output, and one line on
// standard error: "fir_benchmark: " and `message`, or only starting with it.
void expect_refused(const Outcome& r, const std::string& message, bool prefix_only = false)
{
    EXPECT_EQ(r.status, 1) << message;
    EXPECT_EQ(r.out, "") << message;
    const std::string line = "fir_benchmark: " + message;
    if (prefix_only) {
        EXPECT_EQ(r.err.rfind(line, 0), 0u) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    } else {
        EXPECT_EQ(r.err, line + "\n");
    }
}

// Random samples and, as the reference, fir's own output on them: a correct
// run scores 0.00 on every line.
class Program : public InDirectory {
protected:
    static void SetUpTestSuite()
    {
        std::mt19937 rng(42);
        std::vector<float> padded(padded_len, 0.0f);
        for (int k = 0; k < num_samples; k++) {
            padded[num_taps + k] = static_cast<float>(static_cast<int>(rng() % 2000001) - 1000000) / 1000.0f;
            input.push_back(as_text(padded[num_taps + k]));
        }
        std::vector<float> coeffs(num_taps), out(out_len, 0.0f);
        designLPF(coeffs.data(), num_taps, fir_run::fs, fir_run::fc);
        fir(coeffs.data(), padded.data(), out.data(), static_cast<int>(padded.size()), num_taps);
        for (float v : out)
            golden.push_back(as_text(v));
    }

    [[nodiscard]] Outcome run_benchmark(const std::string& shell_prefix = "",
                                        const std::string& out_file = "stdout.txt") const
    {
        return run(FIR_BENCHMARK, "", shell_prefix, out_file);
    }

    static std::vector<std::string> input, golden;
};

std::vector<std::string> Program::input, Program::golden;

TEST_F(Program, ScoresItsOwnOutputAsZeroAndAKnownErrorAsExpected)
{
    write("input.txt", join(input));
    write("golden_output.txt", join(golden));
    Outcome r = run_benchmark();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, all_zero);
    EXPECT_EQ(r.err, "");

    // Output 0 is exactly 0.0; a reference of 300 there costs sqrt(300^2 / 100064).
    std::vector<std::string> off = golden;
    off[0] = "300";
    write("golden_output.txt", join(off));
    r = run_benchmark();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "RMSE_naive: 0.95\nRMSE_opt:   0.95\nRMSE_neon:  0.95\n");
}

TEST_F(Program, AcceptsTabsCrlfAndIgnoresWhatFollowsTheNeededValues)
{
    std::vector<std::string> longer_input = input, longer_golden = golden;
    for (auto* values : {&longer_input, &longer_golden})
        values->insert(values->end(), {"1e39", "not-a-number", "7"});
    write("input.txt", join(longer_input, "\t"));
    write("golden_output.txt", join(longer_golden, "\r\n"));
    const Outcome r = run_benchmark();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, all_zero);
}

TEST_F(Program, RunsOnASmallStackAndFailsWhenItsReportIsLost)
{
    write("input.txt", join(input));
    write("golden_output.txt", join(golden));
    Outcome r = run_benchmark("ulimit -s 1024 &&");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, all_zero);

    expect_refused(run_benchmark("", "/dev/full"), "cannot write the report: No space left on device");
}

TEST_F(Program, RefusesFilesItCannotReadInFull)
{
    struct Case {
        const char* file;  // the file to spoil
        int index;         // the value to replace, or where to cut the file
        const char* value;  // null to cut
        const char* message;
    };
    const std::string too_long(1025, '1');
    const Case cases[] = {
        {"input.txt", 99999, nullptr, "input.txt: ends after 99999 values, 100000 needed"},
        {"input.txt", 0, nullptr, "input.txt: ends after 0 values, 100000 needed"},
        {"golden_output.txt", 100063, nullptr, "golden_output.txt: ends after 100063 values, 100064 needed"},
        {"input.txt", 1206, "abc", "input.txt: value 1207 is not a number"},
        {"input.txt", 9, "1.5abc", "input.txt: value 10 is not a number"},
        {"input.txt", 9, "1,5", "input.txt: value 10 is not a number"},
        {"input.txt", 0, "-1e39", "input.txt: value 1 is out of single-precision range"},
        {"golden_output.txt", 4, "1e39", "golden_output.txt: value 5 is out of single-precision range"},
        {"golden_output.txt", 100063, "nan", "golden_output.txt: value 100064 is not a number"},
        {"golden_output.txt", 7, "inf", "golden_output.txt: value 8 is not a number"},
        {"input.txt", 3, too_long.c_str(), "input.txt: value 4 is longer than 1024 characters"},
    };
    for (const Case& c : cases) {
        const bool is_input = std::string(c.file) == "input.txt";
        std::vector<std::string> values = is_input ? input : golden;
        if (c.value != nullptr)
            values[c.index] = c.value;
        else
            values.resize(c.index);
        write("input.txt", join(is_input ? values : input));
        write("golden_output.txt", join(is_input ? golden : values));
        expect_refused(run_benchmark(), c.message);
    }
}

TEST_F(Program, RefusesFilesItCannotOpen)
{
    write("input.txt", join(input));
    expect_refused(run_benchmark(), "cannot open golden_output.txt: No such file or directory");

    fs::remove(dir / "input.txt");
    write("golden_output.txt", join(golden));
    expect_refused(run_benchmark(), "cannot open input.txt: No such file or directory");

    fs::create_directory(dir / "input.txt");
    expect_refused(run_benchmark(), "input.txt: value 1 cannot be read: Is a directory");
}

// A few hundred corruptions of valid files, from a fixed seed so that a
// failure replays. Each run either prints the whole report with status 0 or
// one line naming the spoiled file on stderr with status 1: never a crash, a
// hang, or a partial report. In two shards, every other run each, which
// CTest runs side by side.
class SpoiledFiles : public Program, public ::testing::WithParamInterface<int> {};

TEST_P(SpoiledFiles, EitherReportsInFullOrNamesTheSpoiledFile)
{
    // Under emulation each run is slow; the native suites run the full set.
    const int runs = std::string(TEST_EMULATOR).empty() ? 300 : 20;
    const int shard = GetParam();
    const std::string clean[2] = {join(input), join(golden)};
    const char* const names[2] = {"input.txt", "golden_output.txt"};
    const char* const words[] = {"abc", "nan", "inf", "-", "+", ".", "e5", "0x1p3", "1e39", "-1e39", "1e-50",
                                 "3.4028236e38", "1e-45", "\n\n\n", "\r", "\t"};
    const std::regex report("RMSE_naive: (-?[0-9]+\\.[0-9]{2}|-?inf|-?nan)\n"
                            "RMSE_opt:   (-?[0-9]+\\.[0-9]{2}|-?inf|-?nan)\n"
                            "RMSE_neon:  (-?[0-9]+\\.[0-9]{2}|-?inf|-?nan)\n");
    std::mt19937 rng(2026);
    int reports = 0;
    for (int run_index = 0; run_index < runs; run_index++) {
        const int spoiled = static_cast<int>(rng() % 2);
        std::string text = clean[spoiled];
        const std::size_t at = rng() % text.size();
        const int how = static_cast<int>(rng() % 6);
        switch (how) {
        case 0: text.resize(at); break;
        case 1:
            for (int flips = 1 + static_cast<int>(rng() % 4); flips > 0; flips--)
                text[rng() % text.size()] = static_cast<char>(rng() % 256);
            break;
        case 2: text.insert(at, std::string(" ") + words[rng() % std::size(words)] + " "); break;
        case 3: text.insert(at, 1, '\0'); break;
        case 4: text.insert(at, std::string(1 + rng() % 100000, rng() % 2 == 0 ? ' ' : '7')); break;
        case 5: text.pop_back(); break;
        }
        if (run_index % 2 != shard)
            continue;
        write(names[spoiled], text);
        write(names[1 - spoiled], clean[1 - spoiled]);

        const Outcome r = run_benchmark("timeout 60");
        SCOPED_TRACE(::testing::Message() << "run " << run_index << ", corruption " << how << " of " << names[spoiled]
                                          << " at byte " << at);
        if (r.status == 0) {
            reports++;
            EXPECT_TRUE(std::regex_match(r.out, report)) << r.out;
            EXPECT_EQ(r.err, "");
        } else {
            expect_refused(r, std::string(names[spoiled]) + ": ", true);
        }
    }
    // Both outcomes must really be exercised.
    EXPECT_GT(reports, 0);
    EXPECT_LT(reports, runs / 2);
}

INSTANTIATE_TEST_SUITE_P(Shards, SpoiledFiles, ::testing::Values(0, 1));

std::vector<double> read_numbers(const fs::path& path)
{
    std::ifstream file(path);
    std::vector<double> values;
    for (double v; file >> v;)
        values.push_back(v);
    EXPECT_TRUE(file.eof()) << path << " holds something that is not a number";
    return values;
}

using MakeSamples = InDirectory;

TEST_F(MakeSamples, WritesFilesOnWhichEveryKernelScoresZero)
{
    ASSERT_EQ(run(MAKE_SAMPLES, "subdir", "mkdir subdir &&").status, 0);
    const std::vector<double> samples = read_numbers(dir / "subdir/input.txt");
    const std::vector<double> golden = read_numbers(dir / "subdir/golden_output.txt");
    ASSERT_EQ(samples.size(), static_cast<std::size_t>(num_samples));
    ASSERT_EQ(golden.size(), static_cast<std::size_t>(out_len));
    EXPECT_EQ(golden[0], 0.0);
    double peak = 0.0;
    for (double v : samples)
        peak = std::max(peak, std::fabs(v));
    EXPECT_GT(peak, 25000.0);
    EXPECT_LT(peak, 32768.0);

    fs::rename(dir / "subdir/input.txt", dir / "input.txt");
    fs::rename(dir / "subdir/golden_output.txt", dir / "golden_output.txt");
    const Outcome r = run(FIR_BENCHMARK);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, all_zero);
}

}  // namespace
