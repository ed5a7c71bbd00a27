// The three kernels against a scalar reference that lives here, on lengths on
// either side of the vector width, with NaN around the input (a stray read
// shows up in the result) and guard values around the output (a stray write
// shows up in the guards).

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "fir.h"
#include "fir_kernels.h"

namespace {

#if defined(__arm__) && defined(__ARM_NEON) && !defined(FIR_STANDIN)
constexpr bool neon_flushes_subnormals = true;  // ARMv7's NEON unit; VFP and AArch64 do not
#else
constexpr bool neon_flushes_subnormals = false;
#endif  // __arm__ && __ARM_NEON && !FIR_STANDIN

const float nan = std::numeric_limits<float>::quiet_NaN();
const float guard = -12345.5f;
const int margin = 4;

// n floats with `margin` values of `border` on either side.
class Padded {
public:
    Padded(int n, float fill, float border) : n_(n), storage_(n + 2 * margin, border)
    {
        std::fill(data(), data() + n, fill);
    }
    float* data() { return storage_.data() + margin; }
    float& operator[](int i) { return data()[i]; }
    [[nodiscard]] bool border_intact(float border) const
    {
        for (int i = 0; i < margin; i++)
            if (!same_bits(storage_[i], border) || !same_bits(storage_[margin + n_ + i], border))
                return false;
        return true;
    }
    static bool same_bits(float a, float b)
    {
        std::uint32_t a_bits = 0, b_bits = 0;
        std::memcpy(&a_bits, &a, sizeof a);
        std::memcpy(&b_bits, &b, sizeof b);
        return a_bits == b_bits;
    }

private:
    int n_;
    std::vector<float> storage_;
};

// An input of `len` values in [-1000, 1000], whose last value, which no kernel
// may read, is NaN.
Padded random_input(int len, unsigned seed)
{
    std::mt19937 rng(seed);
    Padded in(len, 0.0f, nan);
    for (int i = 0; i < len - 1; i++)
        in[i] = static_cast<float>(static_cast<int>(rng() % 2000001) - 1000000) / 1000.0f;
    in[len - 1] = nan;
    return in;
}

std::vector<float> random_coeffs(int taps, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<float> c(taps);
    for (float& v : c)
        v = static_cast<float>(static_cast<int>(rng() % 20001) - 10000) / 100000.0f;
    return c;
}

// The scalar filter sum, in tap order from `start`, each step rounded to
// single precision on its own.
float scalar_sum(float start, const float* c, const float* x, int taps)
{
    float acc = start;
    for (int j = 0; j < taps; j++)
        acc += x[j] * c[j];
    return acc;
}

bool applies(const FirKernelEntry& k, int outputs, int taps)
{
    return taps % k.taps_step == 0 && outputs % k.outputs_step == 0;
}

TEST(Kernels, MatchTheScalarSumBitForBitAndTheDoubleSumWithinRounding)
{
    for (const FirKernelEntry& k : fir_kernels)
        for (int taps : {4, 8, 64})
            for (int outputs : {1, 3, 4, 5, 7, 8, 12, 16, 17, 20, 28, 32, 36, 60, 64, 100064}) {
                if (!applies(k, outputs, taps))
                    continue;
                SCOPED_TRACE(::testing::Message() << k.name << " taps " << taps << " outputs " << outputs);
                const int len = outputs + taps;
                Padded in = random_input(len, outputs);
                const std::vector<float> c = taps == 64 ? [] {
                    std::vector<float> v(64);
                    designLPF(v.data(), 64, 44.1f, 2.0f);
                    return v;
                }() : random_coeffs(taps, taps);
                // A kernel that stores must not care what out held: NaN shows it.
                Padded out(outputs, k.adds ? 0.0f : nan, guard);
                k.run(c.data(), in.data(), out.data(), len, taps);
                EXPECT_TRUE(out.border_intact(guard));
                int mismatches = 0;
                for (int i = 0; i < outputs && mismatches < 5; i++) {
                    double sum = 0.0, magnitude = 0.0;
                    for (int j = 0; j < taps; j++) {
                        sum += static_cast<double>(c[j]) * in[i + j];
                        magnitude += std::fabs(static_cast<double>(c[j]) * in[i + j]);
                    }
                    // Recursive summation of taps rounded products: |error| <= taps * u * sum |terms|.
                    const double bound = 1.01 * taps * (FLT_EPSILON / 2) * magnitude;
                    const float expected = scalar_sum(0.0f, c.data(), in.data() + i, taps);
                    if (std::fabs(out[i] - sum) > bound || !Padded::same_bits(out[i], expected)) {
                        ADD_FAILURE() << "out[" << i << "] = " << out[i] << ", scalar " << expected << ", double "
                                      << sum;
                        mismatches++;
                    }
                }
            }
}

TEST(Kernels, AddersAddIntoOutAndStorersOverwriteIt)
{
    const int taps = 8, outputs = 20, len = outputs + taps;
    Padded in = random_input(len, 7);
    const std::vector<float> c = random_coeffs(taps, 8);
    for (const FirKernelEntry& k : fir_kernels) {
        SCOPED_TRACE(k.name);
        Padded out(outputs, 0.0f, guard);
        for (int i = 0; i < outputs; i++)
            out[i] = 100.25f * static_cast<float>(i + 1);
        k.run(c.data(), in.data(), out.data(), len, taps);
        for (int i = 0; i < outputs; i++) {
            const float start = k.adds ? 100.25f * static_cast<float>(i + 1) : 0.0f;
            EXPECT_TRUE(Padded::same_bits(out[i], scalar_sum(start, c.data(), in.data() + i, taps))) << "out[" << i << "]";
        }
    }
}

TEST(Kernels, WriteNothingWithoutAWholeOutput)
{
    Padded in = random_input(72, 3);
    const std::vector<float> c = random_coeffs(64, 4);
    for (const FirKernelEntry& k : fir_kernels) {
        SCOPED_TRACE(k.name);
        for (int len : {0, 1, 63, 64}) {
            Padded out(8, guard, guard);
            k.run(c.data(), in.data(), out.data(), len, 64);
            EXPECT_TRUE(out.border_intact(guard) && Padded::same_bits(out[0], guard)) << "len " << len;
        }
        if (k.adds) {
            Padded out(8, 3.5f, guard);
            k.run(c.data(), in.data(), out.data(), 8, 0);
            for (int i = 0; i < 8; i++)
                EXPECT_EQ(out[i], 3.5f) << "taps 0, out[" << i << "]";
        }
    }
}

TEST(Kernels, LeaveAnOutputGroupTheyCannotFillUntouched)
{
    for (const FirKernelEntry& k : fir_kernels) {
        if (k.outputs_step == 1)
            continue;
        SCOPED_TRACE(k.name);
        for (int outputs : {1, 3, 5, 7, 18, 31, 33, 63}) {
            const int taps = 8, len = outputs + taps, whole = outputs / k.outputs_step * k.outputs_step;
            Padded in = random_input(len, outputs);
            const std::vector<float> c = random_coeffs(taps, 5);
            Padded out(outputs, guard, guard);
            k.run(c.data(), in.data(), out.data(), len, taps);
            EXPECT_TRUE(out.border_intact(guard));
            for (int i = 0; i < outputs; i++) {
                const float expected = i < whole ? scalar_sum(0.0f, c.data(), in.data() + i, taps) : guard;
                EXPECT_TRUE(Padded::same_bits(out[i], expected)) << "outputs " << outputs << ", out[" << i << "]";
            }
        }
    }
}

TEST(Kernels, NeverFuseMultiplyAndAdd)
{
    // (1 + 2^-12)^2 = 1 + 2^-11 + 2^-24 rounds to 1 + 2^-11, which the first
    // tap cancels exactly; a fused multiply-add would keep 2^-24.
    const float a = 1.0f + std::ldexp(1.0f, -12);
    const float c[4] = {1.0f, a, 0.0f, 0.0f};
    Padded in(8, 0.0f, nan);
    in[0] = -(1.0f + std::ldexp(1.0f, -11));
    in[1] = a;
    in[7] = nan;
    for (const FirKernelEntry& k : fir_kernels) {
        Padded out(4, 0.0f, guard);
        k.run(c, in.data(), out.data(), 8, 4);
        EXPECT_EQ(out[0], 0.0f) << k.name;
    }
}

float flush(float x)
{
    return std::fpclassify(x) == FP_SUBNORMAL ? std::copysign(0.0f, x) : x;
}

TEST(Kernels, SubnormalsAreKeptExceptByARMv7Neon)
{
    // Samples whose products, and sums, are subnormal, among normal ones.
    const int taps = 8, outputs = 64, len = outputs + taps;
    std::mt19937 rng(11);
    const float scales[] = {1e-41f, 3e-38f, 1.0f};
    Padded in(len, 0.0f, nan);
    for (int i = 0; i < len - 1; i++)
        in[i] = scales[rng() % 3] * static_cast<float>(static_cast<int>(rng() % 2001) - 1000) / 1000.0f;
    in[len - 1] = nan;
    const std::vector<float> c = random_coeffs(taps, 12);

    Padded scalar(outputs, 0.0f, guard), neon(outputs, 0.0f, guard);
    fir(c.data(), in.data(), scalar.data(), len, taps);
    fir_neon(c.data(), in.data(), neon.data(), len, taps);
    int subnormal_results = 0, flushed_differently = 0;
    for (int i = 0; i < outputs; i++) {
        float ftz = 0.0f;
        for (int j = 0; j < taps; j++)
            ftz = flush(flush(ftz) + flush(flush(in[i + j]) * flush(c[j])));
        subnormal_results += std::fpclassify(scalar[i]) == FP_SUBNORMAL ? 1 : 0;
        flushed_differently += Padded::same_bits(ftz, scalar[i]) ? 0 : 1;
        const float expected = neon_flushes_subnormals ? ftz : scalar[i];
        EXPECT_TRUE(Padded::same_bits(neon[i], expected)) << "out[" << i << "] = " << neon[i] << ", expected " << expected;
    }
    // The data must tell the two behaviours apart.
    EXPECT_GT(subnormal_results, 0);
    EXPECT_GT(flushed_differently, 0);
}

}  // namespace

// With buffers of exactly the contract's size on the heap, the sanitizers
// report any read of in[len - 1] or write past out[len - taps - 1].
TEST(Kernels, StayInsideExactSizeBuffers)
{
    for (const FirKernelEntry& k : fir_kernels)
        for (int taps : {4, 64})
            for (int outputs : {1, 3, 4, 5, 7, 8, 20, 37, 39}) {
                const int len = outputs + taps;
                const int whole = outputs / k.outputs_step * k.outputs_step;
                const std::vector<float> c = random_coeffs(taps, 1);
                std::vector<float> in(len - 1, 0.5f);
                std::vector<float> out(outputs, 0.0f);
                k.run(c.data(), in.data(), out.data(), len, taps);
                if (whole > 0) {
                    EXPECT_FLOAT_EQ(out[whole - 1], scalar_sum(0.0f, c.data(), in.data() + whole - 1, taps))
                        << k.name << " taps " << taps << " outputs " << outputs;
                }
            }
}
