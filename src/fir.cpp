#include "fir.h"

#include <cmath>

#include "float32x4.h"

void designLPF(float* coeffs, int N, float fs, float fc)
{
    const float half_rate = fs / 2.0f;
    const auto wc = static_cast<float>(static_cast<double>(fc) * design_pi / static_cast<double>(half_rate));
    for (int i = 0; i < N; i++) {
        const auto n = static_cast<float>(static_cast<double>(i) - (static_cast<double>(N) - 1.0) / 2.0);
        if (n == 0.0f)
            coeffs[i] = static_cast<float>(static_cast<double>(wc) / design_pi);
        else
            coeffs[i] = static_cast<float>(std::sin(static_cast<double>(n * wc)) / (static_cast<double>(n) * design_pi));
    }
}

void fir(const float* coeffs, const float* in, float* out, int len, int taps)
{
    for (int i = 0; i < len - taps; i++)
        for (int j = 0; j < taps; j++)
            out[i] += in[i + j] * coeffs[j];
}

void fir_opt(const float* coeffs, const float* in, float* out, int len, int taps)
{
    for (int i = 0; i < len - taps; i++)
        for (int j = 0; j < taps; j += 4) {
            out[i] += in[i + j] * coeffs[j];
            out[i] += in[i + j + 1] * coeffs[j + 1];
            out[i] += in[i + j + 2] * coeffs[j + 2];
            out[i] += in[i + j + 3] * coeffs[j + 3];
        }
}

void fir_neon(const float* coeffs, const float* in, float* out, int len, int taps)
{
    const int outputs = len - taps;
    const float* const coeffs_end = coeffs + taps;
    int i = 0;
    // Thirty-two outputs per pass: each broadcast coefficient feeds eight
    // multiply-accumulates. At -O0 that spreads the cost of the broadcast and
    // of the loop over eight times the work; on Cortex-A it hides VMLA's
    // latency. Sixteen accumulators cost more on ARMv7 than they save.
    for (; i + 32 <= outputs; i += 32) {
        float32x4_t acc0 = vdupq_n_f32(0.0f);
        float32x4_t acc1 = acc0, acc2 = acc0, acc3 = acc0, acc4 = acc0, acc5 = acc0, acc6 = acc0, acc7 = acc0;
        const float* x = in + i;
        for (const float* c = coeffs; c != coeffs_end; c++, x++) {
            const float32x4_t k = vdupq_n_f32(*c);
            acc0 = vmlaq_f32(acc0, vld1q_f32(x), k);
            acc1 = vmlaq_f32(acc1, vld1q_f32(x + 4), k);
            acc2 = vmlaq_f32(acc2, vld1q_f32(x + 8), k);
            acc3 = vmlaq_f32(acc3, vld1q_f32(x + 12), k);
            acc4 = vmlaq_f32(acc4, vld1q_f32(x + 16), k);
            acc5 = vmlaq_f32(acc5, vld1q_f32(x + 20), k);
            acc6 = vmlaq_f32(acc6, vld1q_f32(x + 24), k);
            acc7 = vmlaq_f32(acc7, vld1q_f32(x + 28), k);
        }
        vst1q_f32(out + i, acc0);
        vst1q_f32(out + i + 4, acc1);
        vst1q_f32(out + i + 8, acc2);
        vst1q_f32(out + i + 12, acc3);
        vst1q_f32(out + i + 16, acc4);
        vst1q_f32(out + i + 20, acc5);
        vst1q_f32(out + i + 24, acc6);
        vst1q_f32(out + i + 28, acc7);
    }
    for (; i + 4 <= outputs; i += 4) {
        float32x4_t acc = vdupq_n_f32(0.0f);
        const float* x = in + i;
        for (const float* c = coeffs; c != coeffs_end; c++, x++)
            acc = vmlaq_f32(acc, vld1q_f32(x), vdupq_n_f32(*c));
        vst1q_f32(out + i, acc);
    }
}
