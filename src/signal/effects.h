// The voices' effects besides their embeddings: the light effects a DSP stream applies to 16 kHz
// blocks instead of the models, and the modulation a "robot" file conversion gets after them.
// Pure signal code: no engine state.
#pragma once

#include <cstdint>

// What a DSP stream does to each block.
struct qv_dsp_effect {
  enum kind_t { pitch, modulation } kind;
  // pitch: the block is read `factor` times faster, with linear interpolation (1 reproduces it).
  float factor;
};

// What a file conversion does to the converted signal before it is written.
enum class qv_file_effect { none, modulation };

// The block-wise effects, in float32 throughout. `phase` is the modulation
// oscillator's phase in radians; it carries over from block to block.
void qv_pitch_effect(const int16_t *in, int16_t *out, int32_t n, float factor);
void qv_modulation_effect(const int16_t *in, int16_t *out, int32_t n, float &phase);
void qv_apply_dsp_effect(const qv_dsp_effect &effect, const int16_t *in, int16_t *out, int32_t n,
                         float &phase);

// A 180 Hz amplitude modulation of a 22050 Hz signal in place: gain 0.8 + 0.2 sin(2 pi 180 i / fs),
// where i counts from `first`, the index of samples[0] in the whole signal (a signal written in
// pieces gets the modulation it would get whole).
void qv_file_modulation(float *samples, int32_t count, int64_t first = 0);
void qv_apply_file_effect(qv_file_effect effect, float *samples, int32_t count, int64_t first = 0);
