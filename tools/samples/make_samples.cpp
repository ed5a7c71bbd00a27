// make_samples [DIR]: writes the sample files that fir_benchmark reads into DIR
// (default: the current directory). make_samples --names prints their names, a
// line each, for the scripts that look for them or clear them away.
//
// input.txt holds 100000 samples of a fixed signal at 16-bit audio scale: two
// tones below the filter's cutoff, two well above it, and uniform noise, from a
// fixed seed so every run and every machine writes the same file. At this
// scale a kernel fault, even one dropped tap, moves the RMS error far from
// 0.00, while correct single-precision kernels stay below 0.005.
//
// golden_output.txt holds the ideal result: a leading 0, then the full linear
// convolution of the samples with the 64-tap sinc low-pass, all in double
// precision from a double-precision design of its own. Every value is written
// with %.9g, which single precision reads back exactly.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "benchmark_run.h"
#include "fir.h"

using namespace fir_run;

namespace {

// splitmix64: tiny, and the same sequence on every target and compiler.
double uniform(std::uint64_t& state)
{
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) / 9007199254740992.0 * 2.0 - 1.0;
}

bool write_values(const std::string& path, const std::vector<double>& values)
{
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        std::perror(path.c_str());
        return false;
    }
    for (double v : values)
        std::fprintf(file, "%.9g\n", v);
    const bool written = std::ferror(file) == 0;
    if (std::fclose(file) != 0 || !written) {
        std::perror(path.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::string(argv[1]) == "--names") {
        std::printf("%s\n%s\n", input_name, golden_name);
        return 0;
    }
    const std::string dir = argc > 1 ? argv[1] : ".";

    struct Tone {
        double freq, amplitude, phase;
    };
    const Tone tones[] = {
        {0.35, 9000.0, 0.0}, {1.2, 7000.0, 1.0},   // pass band (cutoff 2.0)
        {6.0, 6000.0, 2.0},  {13.5, 4000.0, 0.5},  // stop band
    };
    const double noise_amplitude = 3000.0;

    std::uint64_t seed = 20261208;
    std::vector<double> samples(num_samples);
    for (int k = 0; k < num_samples; k++) {
        double v = noise_amplitude * uniform(seed);
        for (const Tone& t : tones)
            v += t.amplitude * std::sin(2.0 * design_pi * t.freq / static_cast<double>(fs) * k + t.phase);
        samples[k] = static_cast<float>(v);  // what fir_benchmark will read
    }

    std::vector<double> h(num_taps);
    const double wc = 2.0 * design_pi * static_cast<double>(fc) / static_cast<double>(fs);
    for (int i = 0; i < num_taps; i++) {
        const double n = i - (num_taps - 1) / 2.0;
        h[i] = n == 0.0 ? wc / design_pi : std::sin(n * wc) / (n * design_pi);
    }

    // The program's output k is the convolution at k - 1, behind one zero.
    std::vector<double> golden(out_len, 0.0);
    for (int m = 0; m < out_len - 1; m++) {
        double y = 0.0;
        for (int j = 0; j < num_taps; j++)
            if (m - j >= 0 && m - j < num_samples)
                y += h[j] * samples[m - j];
        golden[m + 1] = y;
    }

    return write_values(dir + "/" + input_name, samples) && write_values(dir + "/" + golden_name, golden) ? 0 : 1;
}
