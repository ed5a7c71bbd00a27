// fir_benchmark's run: its sizes, its filter and its two files. They are the
// driver's own constants; the sample-data tool and the tests include them so
// that the files they write fit the run exactly.
#pragma once

namespace fir_run {

// Samples read from the input file.
inline constexpr int num_samples = 100000;
// Filter length, and the zeros placed before and after the samples.
inline constexpr int num_taps = 64;
// The padded signal, passed to every kernel as len.
inline constexpr int padded_len = num_samples + 2 * num_taps;
// Outputs of each kernel, and values read from the reference file.
inline constexpr int out_len = padded_len - num_taps;
// Sampling rate and cutoff of the low-pass design; only their ratio matters.
inline constexpr float fs = 44.1f;
inline constexpr float fc = 2.0f;

inline constexpr const char* input_name = "input.txt";
inline constexpr const char* golden_name = "golden_output.txt";

}  // namespace fir_run
