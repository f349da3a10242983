// This unit is compiled without floating-point contraction: every product is rounded to float
// before it is added, so the spectrogram is bit-identical on every compiler and CPU.
#include "signal/fft.h"

#include <cmath>
#include <cstdlib>

#include "signal/parallel.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr float kMagnitudeFloor = 1e-6f;
constexpr int kReflectPad = (qv::kFftSize - qv::kFftHop) / 2;  // 384
constexpr int64_t kFramesPerThread = 1024;

float g_hann_window[qv::kFftSize];
uint16_t g_bit_rev[qv::kFftSize];
float g_twiddle_re[qv::kFftSize / 2];
float g_twiddle_im[qv::kFftSize / 2];
int g_fft_initialized = 0;

uint16_t reverse_10_bits(unsigned i) {
  unsigned r = 0;
  for (int bit = 0; bit < 10; ++bit) r |= ((i >> bit) & 1u) << (9 - bit);
  return static_cast<uint16_t>(r);
}

void build_tables() {
  // Each entry comes from its own libm call; deriving entries by symmetry would change the
  // rounding of some of them (cos(-pi/2) is a tiny nonzero double, not 0).
  g_hann_window[0] = 0.0f;
  for (int n = 1; n < qv::kFftSize; ++n)
    g_hann_window[n] = static_cast<float>(0.5 - 0.5 * std::cos((n * kTwoPi) / qv::kFftSize));
  for (unsigned i = 0; i < qv::kFftSize; ++i) g_bit_rev[i] = reverse_10_bits(i);
  g_twiddle_re[0] = 1.0f;
  g_twiddle_im[0] = -0.0f;
  for (int k = 1; k < qv::kFftSize / 2; ++k) {
    const double a = (k * -kTwoPi) / qv::kFftSize;
    g_twiddle_re[k] = static_cast<float>(std::cos(a));
    g_twiddle_im[k] = static_cast<float>(std::sin(a));
  }
  g_fft_initialized = 1;
}

// Folds a frame position into [0, n - 1] by mirror reflection without repeating the end samples.
int32_t reflect(int64_t p, int32_t n) {
  while (p < 0 || p >= n) {
    if (p < 0)
      p = -p;
    else
      p = 2 * static_cast<int64_t>(n - 1) - p;
  }
  return static_cast<int32_t>(p);
}

void load_frame(const float *samples, int32_t n, int64_t start, float *re, float *im) {
  const bool inside = start >= 0 && start + qv::kFftSize <= n;
  for (int i = 0; i < qv::kFftSize; ++i) {
    const int32_t p = inside ? static_cast<int32_t>(start + i) : reflect(start + i, n);
    re[i] = samples[p] * g_hann_window[i];
    im[i] = 0.0f;
  }
}

// In-place radix-2 decimation-in-time FFT, input in natural order, output in natural order.
void fft_1024(float *re, float *im) {
  for (int i = 0; i < qv::kFftSize; ++i) {
    const int j = g_bit_rev[i];
    if (j > i) {
      float t = re[i];
      re[i] = re[j];
      re[j] = t;
      t = im[i];
      im[i] = im[j];
      im[j] = t;
    }
  }
  for (int m = 2; m <= qv::kFftSize; m <<= 1) {
    const int half = m / 2;
    const int stride = qv::kFftSize / m;
    for (int k = 0; k < qv::kFftSize; k += m) {
      for (int j = 0; j < half; ++j) {
        const float wr = g_twiddle_re[j * stride];
        const float wi = g_twiddle_im[j * stride];
        const int a = k + j;
        const int b = a + half;
        const float tr = wr * re[b] - wi * im[b];
        const float ti = wi * re[b] + wr * im[b];
        re[b] = re[a] - tr;
        im[b] = im[a] - ti;
        re[a] = re[a] + tr;
        im[a] = im[a] + ti;
      }
    }
  }
}

}  // namespace

void qv_fft_init() {
  if (!g_fft_initialized) build_tables();
}

int32_t qv_compute_spectrogram(const float *samples, int32_t num_samples, float **out_spec,
                               int32_t *out_frames) {
  if (!samples || !out_spec || !out_frames || num_samples < qv::kFftSize) return -1;
  qv_fft_init();
  const int32_t frames = num_samples >> 8;
  const size_t bytes = static_cast<size_t>(qv::kSpecBins) * static_cast<size_t>(frames) * 4u;
  float *spec = static_cast<float *>(std::malloc(bytes));
  if (!spec) return -1;

  // Frames are independent: long signals are split across cores, each frame computed as alone.
  qv::parallel_ranges(frames, kFramesPerThread, [&](int64_t first, int64_t last) {
    float re[qv::kFftSize];
    float im[qv::kFftSize];
    for (int64_t t = first; t < last; ++t) {
      load_frame(samples, num_samples, t * qv::kFftHop - kReflectPad, re, im);
      fft_1024(re, im);
      for (int b = 0; b < qv::kSpecBins; ++b) {
        const float power = re[b] * re[b] + im[b] * im[b];
        spec[static_cast<size_t>(b) * frames + t] = std::sqrt(power + kMagnitudeFloor);
      }
    }
  });
  *out_spec = spec;
  *out_frames = frames;
  return 0;
}

const float *qv_fft_hann_window() { return g_hann_window; }
const uint16_t *qv_fft_bit_reversal() { return g_bit_rev; }
const float *qv_fft_twiddle_re() { return g_twiddle_re; }
const float *qv_fft_twiddle_im() { return g_twiddle_im; }
