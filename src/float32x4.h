// float32x4_t and the four vector operations that fir_neon is written with.
// Where the compiler targets NEON this is <arm_neon.h> itself; elsewhere (or
// with FIR_STANDIN, to check the stand-in against real NEON) a stand-in of the
// same meaning: SSE on x86, the compiler's generic 16-byte vectors otherwise.
// The stand-in's multiply-accumulate is a multiply then an add, never fused.
// Its functions are always inlined, as the compiler's intrinsics are, so that
// at -O0 they neither call the profiling hook nor appear in the profile.
#pragma once

#if defined(__ARM_NEON) && !defined(FIR_STANDIN)
#include <arm_neon.h>
#else
#if defined(__SSE__)
#include <xmmintrin.h>
using float32x4_t = __m128;
#else
#include <cstring>
using float32x4_t __attribute__((vector_size(16))) = float;
#endif  // __SSE__

#define FIR_VECTOR_OP static inline __attribute__((always_inline))

FIR_VECTOR_OP float32x4_t vdupq_n_f32(float x)
{
#if defined(__SSE__)
    return _mm_set1_ps(x);
#else
    return float32x4_t{x, x, x, x};
#endif  // __SSE__
}

// Loads and stores need only the alignment of a float.
FIR_VECTOR_OP float32x4_t vld1q_f32(const float* p)
{
#if defined(__SSE__)
    return _mm_loadu_ps(p);
#else
    float32x4_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
#endif  // __SSE__
}

FIR_VECTOR_OP float32x4_t vmlaq_f32(float32x4_t acc, float32x4_t a, float32x4_t b)
{
#if defined(__SSE__)
    return _mm_add_ps(acc, _mm_mul_ps(a, b));
#else
    return acc + a * b;
#endif  // __SSE__
}

FIR_VECTOR_OP void vst1q_f32(float* p, float32x4_t v)
{
#if defined(__SSE__)
    _mm_storeu_ps(p, v);
#else
    std::memcpy(p, &v, sizeof v);
#endif  // __SSE__
}

#undef FIR_VECTOR_OP
#endif  // __ARM_NEON && !FIR_STANDIN
