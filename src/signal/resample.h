// Band-limited sample-rate conversion of a mono float signal with a Blackman-windowed sinc.
#pragma once

#include <cstdint>

namespace qv {
// Every output weighs the input samples up to this many on either side of its position.
constexpr int32_t kResamplerHalfWidth = 12;
}  // namespace qv

// Resamples into a caller buffer of `capacity` floats. Stores the number of samples written
// (in_count * out_rate / in_rate, truncated, at most `capacity`; in_count for equal rates) and
// returns 0. Returns -1 with nothing written when a pointer is null, a count or rate is not
// positive, or the output count does not fit in 32 bits.
int32_t qv_resample_buffer(const float *in_samples, int32_t in_count, int32_t in_rate,
                           float *out_samples, int32_t capacity, int32_t *out_len,
                           int32_t out_rate);

// Like qv_resample_buffer but allocates the result (malloc; the caller frees it). The block holds
// ceil(in_count * out_rate / in_rate) + 16 floats. Returns -1 with nothing written or kept on bad
// arguments, a count beyond 32 bits or a failed allocation.
int32_t qv_resample(const float *in_samples, int32_t in_count, int32_t in_rate, float **out_block,
                    int32_t *out_len, int32_t out_rate);

// Resampling a long signal in pieces. Output i of a signal of `in_total` input samples weighs the
// inputs from qv_resample_first_input(i) to qv_resample_inputs_needed(i + 1) - 1 (clipped to the
// signal), so it can be computed from any window that holds them.

// The number of outputs qv_resample gives for in_count inputs.
int64_t qv_resample_length(int64_t in_count, int32_t in_rate, int32_t out_rate);
// How many inputs, from the first, outputs [0, out_end) weigh (before clipping to the signal).
int64_t qv_resample_inputs_needed(int64_t out_end, int32_t in_rate, int32_t out_rate);
// The first input that output out_begin (and every later one) weighs.
int64_t qv_resample_first_input(int64_t out_begin, int32_t in_rate, int32_t out_rate);

// Computes outputs [out_begin, out_end) into `out` from the inputs [window_first, window_first +
// window_count) of a signal of `in_total` samples (INT64_MAX while its end is not known: outputs
// near the end then need the inputs past it). Each output is bit for bit the one qv_resample
// gives on the whole signal. Returns -1 with nothing written when the window lacks an input an
// output weighs, or an argument is invalid.
int32_t qv_resample_span(const float *window, int64_t window_first, int64_t window_count,
                         int64_t in_total, int32_t in_rate, int32_t out_rate, int64_t out_begin,
                         int64_t out_end, float *out);
