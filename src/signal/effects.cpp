#include "signal/effects.h"

#include <cmath>

#include "common.h"
#include "signal/pcm.h"

namespace {
constexpr float kModulationStep = 0.06283186f;  // one cycle per 100 samples: 160 Hz at 16 kHz
constexpr float kTwoPiF = 6.2831855f;
constexpr float kFileModulationOmega = 1130.9734f;  // 2 pi * 180 rounded to single precision
}  // namespace

void qv_pitch_effect(const int16_t *in, int16_t *out, int32_t n, float factor) {
  for (int32_t i = 0; i < n; ++i) {
    const float pos = static_cast<float>(i) * factor;
    const int32_t k = static_cast<int32_t>(pos);
    if (k + 1 < n) {
      const float frac = pos - static_cast<float>(k);
      float v = static_cast<float>(in[k]) * (1.0f - frac) + frac * static_cast<float>(in[k + 1]);
      if (v > 32767.0f) {
        out[i] = 32767;
        continue;
      }
      if (v < -32768.0f) v = -32768.0f;
      out[i] = static_cast<int16_t>(v);
    } else {
      out[i] = k < n ? in[n - 1] : 0;  // past the end of the block it is silent
    }
  }
}

void qv_modulation_effect(const int16_t *in, int16_t *out, int32_t n, float &phase) {
  for (int32_t i = 0; i < n; ++i) {
    const float x = qv::float_from_pcm16(in[i]);
    const float s = std::sin(phase);
    phase += kModulationStep;
    if (phase > kTwoPiF) phase -= kTwoPiF;
    out[i] = qv::pcm16_from_float((s * 0.4f + 0.6f) * x);  // the gain swings from 0.2 to 1.0
  }
}

void qv_apply_dsp_effect(const qv_dsp_effect &effect, const int16_t *in, int16_t *out, int32_t n,
                         float &phase) {
  if (effect.kind == qv_dsp_effect::modulation)
    qv_modulation_effect(in, out, n, phase);
  else
    qv_pitch_effect(in, out, n, effect.factor);
}

void qv_file_modulation(float *samples, int32_t count, int64_t first) {
  // Single precision throughout, so that the first sample is scaled by exactly 0.8.
  for (int32_t i = 0; i < count; ++i) {
    const float angle =
        static_cast<float>(first + i) * kFileModulationOmega / static_cast<float>(qv::kModelRate);
    samples[i] *= std::sin(angle) * 0.2f + 0.8f;
  }
}

void qv_apply_file_effect(qv_file_effect effect, float *samples, int32_t count, int64_t first) {
  if (effect == qv_file_effect::modulation) qv_file_modulation(samples, count, first);
}
