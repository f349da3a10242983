// The conversion pipeline (spectrogram, speaker encoder, converter) on an engine's sessions, and
// the signal it takes: a WAV file brought to the models' 22050 Hz. Internal.
#pragma once

#include <cstddef>
#include <cstdint>

#include "audio/wav.h"
#include "engine/engine.h"
#include "engine/status.h"

// Converts a 22050 Hz signal of at least 1024 samples to the target voice. On success stores a
// malloc'ed buffer (the caller frees it) and its count; on failure the out-parameters are
// untouched.
qv::status run_openvoice_inference(const qv::engine &engine, const float *samples,
                                   int32_t sample_count, const float *target_embedding,
                                   float **out_samples, int32_t *out_count);

// The two halves of run_openvoice_inference, for callers that measure the source voice on other
// audio than they convert (a stream piece is too short to measure a voice on). Same checks,
// messages and out-parameter rules.
qv::status measure_source_embedding(const qv::engine &engine, const float *samples,
                                    int32_t sample_count, float *embedding);
qv::status convert_with_source(const qv::engine &engine, const float *samples, int32_t sample_count,
                               const float *source_embedding, const float *target_embedding,
                               float **out_samples, int32_t *out_count);

// Runs the speaker encoder on a [1, 513, frames] spectrogram and copies the first 256 values of
// "speaker" into `embedding` (a tensor that cannot be made fails under `tensor_label`, a failed
// run under `run_label`).
qv::status run_speaker_encoder(const qv::engine &engine, float *spec, int32_t frames,
                               const char *tensor_label, const char *run_label, float *embedding);

// A WAV file at the models' rate. `samples` is the reader's own buffer when the file already has
// that rate (no copy), else a resampled buffer that this object owns as well.
struct model_signal {
  qv_wav rec{nullptr, 0, 0};  // as read; rec.sample_rate is the file's rate
  float *samples = nullptr;
  int32_t count = 0;

  model_signal() = default;
  model_signal(const model_signal &) = delete;
  model_signal &operator=(const model_signal &) = delete;
  ~model_signal() { release(); }
  void release();
};

// How an operation words the two ways reading a file at the models' rate fails: `read_failed`
// formats the reader's message (one %s), `resample_failed` stands alone.
struct model_signal_messages {
  const char *read_failed;
  const char *resample_failed;
};

// Reads `path` and brings it to 22050 Hz.
qv::status read_model_signal(const char *path, model_signal &signal,
                             const model_signal_messages &messages);
