// Magnitude spectrogram of a mono signal: 1024-point frames, hop 256, periodic Hann window,
// mirror reflection at both ends, 513 bins stored bin-major ([1, 513, frames]).
#pragma once

#include <cstdint>

namespace qv {
constexpr int kFftSize = 1024;
constexpr int kFftHop = 256;
constexpr int kSpecBins = kFftSize / 2 + 1;  // 513
}  // namespace qv

// Builds the window, bit-reversal and twiddle tables once per process; later calls do nothing.
void qv_fft_init();

// On success stores a malloc'ed block of 513 * frames floats (bin b of frame t at b * frames + t)
// and frames = num_samples / 256, and returns 0. Returns -1 with nothing written or kept when a
// pointer is null, num_samples < 1024 or the block cannot be allocated.
int32_t qv_compute_spectrogram(const float *samples, int32_t num_samples, float **out_spec,
                               int32_t *out_frames);

// Read-only views of the tables, for tests and for the engine's own checks.
const float *qv_fft_hann_window();
const uint16_t *qv_fft_bit_reversal();
const float *qv_fft_twiddle_re();
const float *qv_fft_twiddle_im();
