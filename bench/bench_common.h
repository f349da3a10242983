// Helpers the end-to-end benchmarks share.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "conversion/pipeline.h"
#include "signal/pcm.h"
#include "signal/resample.h"

namespace bench {

inline double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// A signal resampled whole (the library's resampler).
inline std::vector<float> resampled(const std::vector<float> &x, int32_t from, int32_t to) {
  if (from == to) return x;
  float *out = nullptr;
  int32_t n = 0;
  if (qv_resample(x.data(), static_cast<int32_t>(x.size()), from, &out, &n, to) != 0) return {};
  std::vector<float> y(out, out + n);
  std::free(out);
  return y;
}

// WAV files read at 16 kHz, joined, and repeated up to `seconds`, as 16-bit samples.
inline std::vector<int16_t> speech_16k(int argc, char **argv, int first, double seconds) {
  std::vector<int16_t> speech;
  for (int i = first; i < argc; ++i) {
    qv_wav rec{};
    if (qv_wav_read(argv[i], &rec, nullptr, 0) != 0) continue;
    const std::vector<float> x = resampled(
        std::vector<float>(rec.samples, rec.samples + rec.frames), rec.sample_rate, 16000);
    qv_wav_free(&rec);
    for (float v : x) speech.push_back(qv::pcm16_from_float(v));
  }
  const auto want = static_cast<size_t>(seconds * 16000);
  if (speech.empty()) return speech;
  while (speech.size() < want)
    speech.insert(
        speech.end(), speech.begin(),
        speech.begin() + static_cast<long>(std::min(speech.size(), want - speech.size())));
  return speech;
}

}  // namespace bench
