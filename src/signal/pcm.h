// Conversions between float samples (full scale 1.0) and signed 16-bit PCM.
#pragma once

#include <cmath>
#include <cstdint>

namespace qv {

// Input scale: a 16-bit sample divided by 32768, so the float stays below +1.
inline float float_from_pcm16(int16_t s) { return static_cast<float>(s) * (1.0f / 32768.0f); }

// Output scale: clipped to [-1, 1], times 32767, truncated toward zero, so -32768 never comes
// out. NaN (a model may produce it) becomes 0 instead of an undefined conversion.
inline int16_t pcm16_from_float(float x) {
  if (std::isnan(x)) return 0;
  if (x > 1.0f) return 32767;
  return static_cast<int16_t>((x < -1.0f ? -1.0f : x) * 32767.0f);
}

}  // namespace qv

namespace qv {

// The inverse of float_from_pcm16 for a host that hands float samples to a 16-bit stream:
// rounded to the nearest step and clipped, so a 16-bit sample read as float comes back exactly.
inline int16_t pcm16_round(float x) {
  if (std::isnan(x)) return 0;
  const float v = std::nearbyint(x * 32768.0f);
  if (v >= 32767.0f) return 32767;
  if (v <= -32768.0f) return -32768;
  return static_cast<int16_t>(v);
}

}  // namespace qv
