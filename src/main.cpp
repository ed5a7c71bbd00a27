// fir_benchmark: filters one fixed signal with each FIR kernel of the library
// and prints each one's RMS error against a reference output. It measures no
// time itself; it is built with -pg, so gprof's profile of a run shows each
// kernel's time. Any file that cannot be read in full stops the run with one
// line on standard error and status 1, before anything reaches standard output.

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "benchmark_run.h"
#include "fir.h"
#include "value_reader.h"

namespace {

[[noreturn]] void fail(const std::string& problem)
{
    std::fprintf(stderr, "fir_benchmark: %s\n", problem.c_str());
    std::exit(1);
}

// errno is cleared first: a failed open that does not set it must not show an
// older reason.
void open_or_fail(std::ifstream& file, const char* name)
{
    errno = 0;
    file.open(name);
    if (!file.is_open())
        fail(std::string("cannot open ") + name + (errno != 0 ? std::string(": ") + std::strerror(errno) : ""));
}

// Reads value number `position` (1-based) of `count` from `file` into `value`.
// Anything but a complete, representable number stops the run: a value that
// is missing, is not a number (including one with trailing characters, such
// as "1.5abc" or "1,5"), overflows single precision, is longer than any
// number needs to be, or cannot be read.
void read_value(ValueReader& file, const char* name, int position, int count, float& value)
{
    const ValueStatus status = file.next(value);
    if (status != ValueStatus::ok)
        fail(std::string(name) + ": " + file.problem(status, position, count));
}

}  // namespace

int main()
{
    using namespace fir_run;
    // Static rather than automatic: 500,384 floats, 2.0 MB, more than a small
    // process stack holds. Zero-initialised, as the adding kernels need.
    static float coeffs[num_taps];
    static float samples[num_samples];
    static float padded[padded_len];
    static float out_naive[out_len];
    static float out_opt[out_len];
    static float out_neon[out_len];

    designLPF(coeffs, num_taps, fs, fc);

    std::ifstream input;
    std::ifstream golden;
    open_or_fail(input, input_name);
    open_or_fail(golden, golden_name);
    ValueReader input_values(input);
    ValueReader golden_values(golden);

    for (int k = 0; k < num_samples; k++)
        read_value(input_values, input_name, k + 1, num_samples, samples[k]);
    for (int k = 0; k < padded_len; k++)
        padded[k] = (k < num_taps || k >= num_taps + num_samples) ? 0.0f : samples[k - num_taps];

    fir(coeffs, padded, out_naive, padded_len, num_taps);
    fir_opt(coeffs, padded, out_opt, padded_len, num_taps);
    fir_neon(coeffs, padded, out_neon, padded_len, num_taps);

    float err_naive = 0.0f;
    float err_opt = 0.0f;
    float err_neon = 0.0f;
    for (int k = 0; k < out_len; k++) {
        float g = 0.0f;
        read_value(golden_values, golden_name, k + 1, out_len, g);
        const float d_naive = out_naive[k] - g;
        const float d_opt = out_opt[k] - g;
        const float d_neon = out_neon[k] - g;
        err_naive += d_naive * d_naive;
        err_opt += d_opt * d_opt;
        err_neon += d_neon * d_neon;
    }

    std::printf("RMSE_naive: %.2f\n", static_cast<double>(sqrtf(err_naive / out_len)));
    std::printf("RMSE_opt:   %.2f\n", static_cast<double>(sqrtf(err_opt / out_len)));
    std::printf("RMSE_neon:  %.2f\n", static_cast<double>(sqrtf(err_neon / out_len)));

    // A report that did not reach its destination (a full disk, say)
    // is a failed run, not a successful one.
    if (std::fflush(stdout) != 0)
        fail(std::string("cannot write the report: ") + std::strerror(errno));

    golden.close();
    input.close();
    return 0;
}
