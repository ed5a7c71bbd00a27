// kernel_instructions: calls each kernel once on 256 outputs of a 64-tap
// filter and nothing else, so that an instruction counter (callgrind on the
// host, qemu's execution trace on Arm) sees each kernel's cost per multiply-add
// without a timer's noise. It prints, as JSON, the kernels and the shape it ran
// and the program's own run: the build's description and every tool learn
// them from here.

#include <cstdio>
#include <vector>

#include "benchmark_run.h"
#include "fir_kernels.h"

using namespace fir_run;

int main()
{
    const int outputs = 256;
    const int taps = 64;
    std::vector<float> coeffs(taps);
    std::vector<float> in(outputs + taps);
    std::vector<float> out(outputs);
    designLPF(coeffs.data(), taps, fs, fc);
    for (int i = 0; i < outputs + taps; i++)
        in[i] = static_cast<float>(i % 17) - 8.0f;
    std::printf(R"({"kernels": [)");
    const char* separator = "";
    for (const FirKernelEntry& k : fir_kernels) {
        k.run(coeffs.data(), in.data(), out.data(), outputs + taps, taps);
        std::printf(R"(%s{"name": "%s", "lanes": %d})", separator, k.name, k.lanes);
        separator = ", ";
    }
    std::printf(R"(], "outputs": %d, "taps": %d, "run": {"samples": %d, "outputs": %d, "taps": %d}})"
                "\n",
                outputs, taps, num_samples, out_len, num_taps);
    return out[0] == out[1] ? 1 : 0;
}
