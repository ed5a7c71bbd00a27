// kernel_variants [--ulps DIR]: fir beside the three builds of its own loop
// that scripts/explain --opt compares (as declared, with __restrict, with
// __restrict and -ffast-math). Without arguments it calls each once on 256
// outputs of a 64-tap filter and prints them as kernel_instructions does, for
// the instruction counter. With --ulps it runs each on the program's run over
// the sample input in DIR, padded as the driver pads it, and prints the largest
// difference of each from fir's bits, in units in the last place (which are
// tiny near a zero output) and in the signal's own units.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "benchmark_run.h"
#include "fir.h"
#include "guarded.h"
#include "counted_calls.h"
#include "value_reader.h"

void fir_declared(const float* coeffs, const float* in, float* out, int len, int taps);
void fir_restrict(const float* coeffs, const float* in, float* out, int len, int taps);
void fir_fast_math(const float* coeffs, const float* in, float* out, int len, int taps);

namespace {

// fir, then its loop's three builds, which add into out as fir does.
const FirKernelEntry kernels[] = {fir_kernels[0],
                                  {"fir_declared", fir_declared, true, 1, 1, 1},
                                  {"fir_restrict", fir_restrict, true, 1, 1, 1},
                                  {"fir_fast_math", fir_fast_math, true, 1, 1, 1}};

// The distance between two floats of one sign in representable steps.
std::int64_t ulps(float a, float b)
{
    std::int32_t x = 0, y = 0;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    const auto ordered = [](std::int32_t bits) { return bits < 0 ? INT32_MIN - static_cast<std::int64_t>(bits) : bits; };
    return std::llabs(ordered(x) - ordered(y));
}

int count()
{
    std::vector<float> out;
    std::puts(call_each_once(kernels, fir_measure::counted_outputs, fir_run::num_taps, out).dump().c_str());
    return 0;
}

int compare(const std::string& dir)
{
    using namespace fir_run;
    const std::string input = dir + "/" + input_name;
    std::ifstream file(input);
    ValueReader reader(file);
    std::vector<float> coeffs(num_taps), padded(padded_len, 0.0f);
    designLPF(coeffs.data(), num_taps, fs, fc);
    for (int k = 0; k < num_samples; k++)
        if (const ValueStatus status = reader.next(padded[num_taps + k]); status != ValueStatus::ok) {
            std::fprintf(stderr, "kernel_variants: %s: %s\n", input.c_str(),
                         reader.problem(status, k + 1, num_samples).c_str());
            return 1;
        }
    std::vector<std::vector<float>> outs;
    for (const FirKernelEntry& kernel : kernels) {
        outs.emplace_back(out_len, 0.0f);
        kernel.run(coeffs.data(), padded.data(), outs.back().data(), padded_len, num_taps);
    }
    nlohmann::json report;
    for (std::size_t v = 1; v < outs.size(); v++) {
        std::int64_t largest = 0;
        double absolute = 0;
        for (int i = 0; i < out_len; i++) {
            largest = std::max(largest, ulps(outs[0][i], outs[v][i]));
            absolute = std::max(absolute, std::fabs(static_cast<double>(outs[0][i]) - outs[v][i]));
        }
        report["ulps"][kernels[v].name] = largest;
        report["absolute"][kernels[v].name] = absolute;
    }
    std::puts(report.dump().c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    return guarded("kernel_variants", [&] {
        if (argc == 1)
            return count();
        if (argc == 3 && std::strcmp(argv[1], "--ulps") == 0)
            return compare(argv[2]);
        std::fprintf(stderr, "usage: kernel_variants [--ulps DIR]\n");
        return 2;
    });
}
