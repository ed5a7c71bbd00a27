// The filter library: one low-pass design routine and three interchangeable FIR
// kernels over plain arrays of single-precision samples. Nothing here keeps
// state, allocates or checks its arguments; the buffer contracts below are the
// caller's duty.
#pragma once

// π as designLPF computes with it, in double precision.
inline constexpr double design_pi = 3.141592653589793;

// Writes coeffs[0..N-1] with the ideal (sinc, unwindowed, unnormalised)
// low-pass response for cutoff fc at sampling rate fs, centred in the array.
// Reads nothing from coeffs; N <= 0 writes nothing.
void designLPF(float* coeffs, int N, float fs, float fc);

// The FIR kernel contract shared by fir, fir_opt and fir_neon:
//   coeffs  taps values, read only.
//   in      len values, read only; output i uses the window in[i]..in[i+taps-1].
//   out     room for len - taps values; only out[0]..out[len-taps-1] is written.
// Output i is the sum over j of coeffs[j] * in[i + j] (not reversed), each
// product and each sum rounded to single precision on its own, never fused.
// len <= taps produces no output.

// Reference loop; any taps >= 0. Adds each filter sum into out[i], so the
// caller zero-fills out for a plain result. Never reads in[len-1].
void fir(const float* coeffs, const float* in, float* out, int len, int taps);

// fir with its tap loop unrolled four ways; taps must be a multiple of four.
// Adds into out like fir, in the same order, so its result is fir's bit for bit.
void fir_opt(const float* coeffs, const float* in, float* out, int len, int taps);

// Four neighbouring outputs per vector lane. Stores each out[i] (what it held
// does not matter). Writes whole groups of four outputs only: when len - taps
// is not a multiple of four, the last (len - taps) % 4 outputs are left as they
// were. Each lane adds its products in tap order from 0.0, so on data without
// subnormals the result is fir's bit for bit; the ARMv7 NEON unit flushes
// subnormal inputs and results to zero. Never reads in[len-1].
void fir_neon(const float* coeffs, const float* in, float* out, int len, int taps);
