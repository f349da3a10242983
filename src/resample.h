// Band-limited sample-rate conversion of a mono float signal with a Blackman-windowed sinc.
#pragma once

#include <cstdint>

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
