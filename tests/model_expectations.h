// What the fixture models give for an input, computed on the test side (see
// fixtures/make_fixture_models.py for the models).
#pragma once

#include <cmath>
#include <cstdlib>
#include <vector>

#include "signal/fft.h"

namespace qvt {

// The fixture speaker encoder: the time average of spectrogram bins 0..255.
inline std::vector<float> expected_speaker(const float *samples, int32_t n) {
  float *spec = nullptr;
  int32_t frames = 0;
  std::vector<float> out(256, NAN);
  if (qv_compute_spectrogram(samples, n, &spec, &frames) != 0) return out;
  for (int b = 0; b < 256; ++b) {
    double sum = 0;
    for (int t = 0; t < frames; ++t) sum += spec[static_cast<size_t>(b) * frames + t];
    out[b] = static_cast<float>(sum / frames);
  }
  std::free(spec);
  return out;
}

// Offsets in the fixture converter's output.
constexpr int kOutTarget = 0;
constexpr int kOutSource = 256;
constexpr int kOutTau = 512;
constexpr int kOutLengths = 513;
constexpr int kOutNoiseSum = 514;
constexpr int kOutNoiseMax = 515;
constexpr int kOutFrames = 516;

}  // namespace qvt
