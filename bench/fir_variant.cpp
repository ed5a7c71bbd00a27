// fir's own loop, as one step of scripts/explain --opt's lesson on what stops
// the compiler from vectorising it: built once as the kernels are declared,
// once with __restrict on the three pointers, and once more with __restrict
// and -ffast-math. FIR_VARIANT names the function, FIR_RESTRICT is empty or
// __restrict. These builds exist only for that lesson: the kernels, the
// program and its tests never see __restrict or -ffast-math.

#ifndef FIR_VARIANT  // built alone, as the linters do: the loop as declared
#define FIR_VARIANT fir_declared
#define FIR_RESTRICT
#endif

void FIR_VARIANT(const float* FIR_RESTRICT coeffs, const float* FIR_RESTRICT in, float* FIR_RESTRICT out, int len,
                 int taps)
{
    for (int i = 0; i < len - taps; i++)
        for (int j = 0; j < taps; j++)  // the tap loop
            out[i] += in[i + j] * coeffs[j];
}
