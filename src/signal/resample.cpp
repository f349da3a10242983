// Every output sample is a normalised sum of up to 25 input taps weighted by a Blackman-windowed
// sinc (two cosines and a sine in double precision) of their distance from the output's
// position. The exact order of operations below fixes the rounding of every output sample, so it
// is kept as it stands; the unit is compiled without floating-point contraction.
#include "signal/resample.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "signal/parallel.h"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kFourPi = 12.566370614359172;
constexpr int kHalfWidth = qv::kResamplerHalfWidth;  // input samples on each side of the centre
constexpr double kWidth = 24.0;                      // Blackman window span in input samples
constexpr double kTiny = 1e-9;
constexpr int kCapacitySlack = 16;

bool valid_request(const void *in, const void *out, const void *len, int32_t in_count,
                   int32_t in_rate, int32_t out_rate) {
  return in && out && len && in_count > 0 && in_rate > 0 && out_rate > 0;
}

double blackman_sinc_weight(double d, double fc) {
  double w = 0.0;
  if (std::fabs(d) < kHalfWidth) {
    const double u = (d + kHalfWidth) / kWidth;
    w = 0.42 - 0.5 * std::cos(kTwoPi * u) + 0.08 * std::cos(kFourPi * u);
  }
  const double x = d * fc;
  if (std::fabs(x) >= kTiny) {
    const double y = x * kPi;
    w = w * std::sin(y) / y;
  }
  return w * fc;
}

// The input as the loops see it: sample j of the whole signal (j from 0 to count - 1) is at
// window[j - first]. A whole signal is the window with first = 0; a piece of a longer one sits
// further on, and every output keeps the value it has in the whole signal.
struct input_view {
  const float *window;
  int64_t first;
  int64_t count;  // of the whole signal
  float operator[](int64_t j) const { return window[j - first]; }
};

// Output i lies at input position i * in_rate / out_rate: input sample `centre` plus the
// fraction phase / phases, both from integer arithmetic. Every output of the same phase has the
// same fraction to the last bit, so its tap weights are the same doubles wherever it lies.
struct rate_ratio {
  int64_t step_num;  // in_rate / gcd
  int64_t phases;    // out_rate / gcd
  rate_ratio(int32_t in_rate, int32_t out_rate) {
    int64_t a = in_rate, b = out_rate;
    while (b) {
      const int64_t r = a % b;
      a = b;
      b = r;
    }
    step_num = in_rate / a;
    phases = out_rate / a;
  }
  int64_t centre(int64_t i) const { return i * step_num / phases; }
  int64_t phase(int64_t i) const { return i * step_num % phases; }
  double fraction(int64_t phase) const {
    return static_cast<double>(phase) / static_cast<double>(phases);
  }
};

float interpolate(const input_view &in, int64_t c, double fraction, double fc) {
  const int64_t lo = std::max<int64_t>(c - kHalfWidth, 0);
  const int64_t hi = std::min<int64_t>(c + kHalfWidth, in.count - 1);
  double acc = 0.0;
  double wsum = 0.0;
  for (int64_t j = lo; j <= hi; ++j) {
    const double h = blackman_sinc_weight(fraction + static_cast<double>(c - j), fc);
    acc += static_cast<double>(in[j]) * h;
    wsum += h;
  }
  return std::fabs(wsum) > kTiny ? static_cast<float>(acc / wsum) : 0.0f;
}

constexpr int kTaps = 2 * kHalfWidth + 1;
// Common rate pairs have few phases (16000 -> 22050: 441; 48000 -> 22050: 147); beyond this
// many the weights are computed for each output instead of once per phase.
constexpr int64_t kMaxPhases = 4096;

// The weights of every phase, computed once: the same doubles the definition computes for each
// output, added in the same order, so every output keeps its exact value. Empty (and unused)
// when there are too many phases or the table cannot be allocated.
class phase_taps {
 public:
  phase_taps(const rate_ratio &ratio, double fc) {
    if (ratio.phases > kMaxPhases) return;
    const auto phases = static_cast<size_t>(ratio.phases);
    weights_.reset(new (std::nothrow) double[phases * (kTaps + 1)]);
    if (!weights_) return;
    for (int64_t r = 0; r < ratio.phases; ++r) {
      const double fraction = ratio.fraction(r);
      double *w = row(r);
      double wsum = 0.0;
      for (int t = 0; t < kTaps; ++t) {
        w[t] = blackman_sinc_weight(fraction + static_cast<double>(kHalfWidth - t), fc);
        wsum += w[t];
      }
      w[kTaps] = wsum;
    }
  }
  bool ready() const { return weights_ != nullptr; }

  // An output whose taps all lie inside the signal.
  float interpolate(const input_view &in, int64_t c, int64_t phase) const {
    const double *h = row(phase);
    const int64_t first = c - kHalfWidth;
    double acc = 0.0;
    for (int t = 0; t < kTaps; ++t) acc += static_cast<double>(in[first + t]) * h[t];
    const double wsum = h[kTaps];
    return std::fabs(wsum) > kTiny ? static_cast<float>(acc / wsum) : 0.0f;
  }

 private:
  double *row(int64_t phase) const { return weights_.get() + phase * (kTaps + 1); }
  std::unique_ptr<double[]> weights_;  // per phase: kTaps weights, then their sum
};

constexpr int64_t kOutputsPerThread = 1 << 14;

// Outputs [begin, end) of the whole signal's resampling, into out[0 .. end - begin).
void resample_range(const input_view &in, float *out, int64_t begin, int64_t end,
                    const rate_ratio &ratio, double fc, const phase_taps &taps) {
  for (int64_t i = begin; i < end; ++i) {
    const int64_t c = ratio.centre(i);
    const int64_t phase = ratio.phase(i);
    const bool interior = c - kHalfWidth >= 0 && c + kHalfWidth <= in.count - 1;
    out[i - begin] = taps.ready() && interior ? taps.interpolate(in, c, phase)
                                              : interpolate(in, c, ratio.fraction(phase), fc);
  }
}

}  // namespace

int32_t qv_resample_buffer(const float *in_samples, int32_t in_count, int32_t in_rate,
                           float *out_samples, int32_t capacity, int32_t *out_len,
                           int32_t out_rate) {
  if (!valid_request(in_samples, out_samples, out_len, in_count, in_rate, out_rate)) return -1;
  if (in_rate == out_rate) {
    const int32_t n = std::min(in_count, capacity);
    if (n > 0) std::memcpy(out_samples, in_samples, static_cast<size_t>(n) * sizeof(float));
    *out_len = n;
    return 0;
  }
  const double ratio = static_cast<double>(out_rate) / in_rate;
  const double product = std::trunc(in_count * ratio);
  if (product > INT32_MAX) return -1;  // the count would not fit the signal's 32-bit length
  const int32_t n = std::min(capacity, static_cast<int32_t>(product));
  if (n <= 0) {
    *out_len = n;
    return 0;
  }
  const double fc = std::min(ratio, 1.0);
  const rate_ratio steps(in_rate, out_rate);
  const phase_taps taps(steps, fc);
  const input_view in{in_samples, 0, in_count};
  qv::parallel_ranges(n, kOutputsPerThread, [&](int64_t begin, int64_t end) {
    resample_range(in, out_samples + begin, begin, end, steps, fc, taps);
  });
  *out_len = n;
  return 0;
}

int32_t qv_resample(const float *in_samples, int32_t in_count, int32_t in_rate, float **out_block,
                    int32_t *out_len, int32_t out_rate) {
  if (!valid_request(in_samples, out_block, out_len, in_count, in_rate, out_rate)) return -1;
  const double ceiling = std::ceil((static_cast<double>(out_rate) / in_rate) * in_count);
  if (ceiling > static_cast<double>(INT32_MAX - kCapacitySlack)) return -1;
  const int32_t capacity = static_cast<int32_t>(ceiling) + kCapacitySlack;
  float *block = static_cast<float *>(std::malloc(static_cast<size_t>(capacity) * sizeof(float)));
  if (!block) return -1;
  int32_t count = 0;
  if (qv_resample_buffer(in_samples, in_count, in_rate, block, capacity, &count, out_rate) != 0) {
    std::free(block);
    return -1;
  }
  *out_block = block;
  *out_len = count;
  return 0;
}

int64_t qv_resample_length(int64_t in_count, int32_t in_rate, int32_t out_rate) {
  if (in_rate == out_rate) return in_count;
  const double ratio = static_cast<double>(out_rate) / in_rate;  // as qv_resample_buffer
  return static_cast<int64_t>(std::trunc(static_cast<double>(in_count) * ratio));
}

int64_t qv_resample_inputs_needed(int64_t out_end, int32_t in_rate, int32_t out_rate) {
  if (out_end <= 0) return 0;
  if (in_rate == out_rate) return out_end;
  return rate_ratio(in_rate, out_rate).centre(out_end - 1) + kHalfWidth + 1;
}

int64_t qv_resample_first_input(int64_t out_begin, int32_t in_rate, int32_t out_rate) {
  if (in_rate == out_rate) return out_begin;
  return std::max<int64_t>(rate_ratio(in_rate, out_rate).centre(out_begin) - kHalfWidth, 0);
}

int32_t qv_resample_span(const float *window, int64_t window_first, int64_t window_count,
                         int64_t in_total, int32_t in_rate, int32_t out_rate, int64_t out_begin,
                         int64_t out_end, float *out) {
  if (!window || !out || in_rate <= 0 || out_rate <= 0 || out_begin < 0 || out_end < out_begin)
    return -1;
  const int64_t need_first = qv_resample_first_input(out_begin, in_rate, out_rate);
  const int64_t need_end =
      std::min(in_total, qv_resample_inputs_needed(out_end, in_rate, out_rate));
  if (out_end > out_begin && (need_first < window_first || need_end > window_first + window_count))
    return -1;
  if (in_rate == out_rate) {
    if (out_end > out_begin)
      std::memcpy(out, window + (out_begin - window_first),
                  static_cast<size_t>(out_end - out_begin) * sizeof(float));
    return 0;
  }
  const double fc = std::min(static_cast<double>(out_rate) / in_rate, 1.0);
  const rate_ratio steps(in_rate, out_rate);
  const phase_taps taps(steps, fc);
  resample_range(input_view{window, window_first, in_total}, out, out_begin, out_end, steps, fc,
                 taps);
  return 0;
}
