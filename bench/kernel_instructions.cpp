// kernel_instructions: calls each kernel once on 256 outputs of a 64-tap
// filter and nothing else, so that an instruction counter (callgrind on the
// host, qemu's execution trace on Arm) sees each kernel's cost per multiply-add
// without a timer's noise. It prints its sizes, for the counter to divide by.

#include <cstdio>
#include <vector>

#include "benchmark_run.h"
#include "fir_kernels.h"

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
    for (const FirKernelEntry& k : fir_kernels)
        k.run(coeffs.data(), in.data(), out.data(), outputs + taps, taps);
    std::printf("%d outputs x %d taps\n", outputs, taps);
    return out[0] == out[1] ? 1 : 0;
}
