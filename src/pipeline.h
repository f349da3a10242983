// The conversion pipeline (spectrogram, speaker encoder, converter) and the signal it takes: a
// WAV file brought to the models' 22050 Hz. Internal.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wav.h"

// Converts a 22050 Hz signal of at least 1024 samples to the target voice. On success stores a
// malloc'ed buffer (the caller frees it) and its count and returns 0; on failure returns -1 with
// the last error set and the out-parameters untouched.
int run_openvoice_inference(const float *samples, int32_t sample_count,
                            const float *target_embedding, float **out_samples, int32_t *out_count);

// The two halves of run_openvoice_inference, for callers that measure the source voice on other
// audio than they convert (a stream piece is too short to measure a voice on). Same checks,
// messages and out-parameter rules.
int measure_source_embedding(const float *samples, int32_t sample_count, float *embedding);
int convert_with_source(const float *samples, int32_t sample_count, const float *source_embedding,
                        const float *target_embedding, float **out_samples, int32_t *out_count);

// Runs the speaker encoder on a [1, 513, frames] spectrogram and copies the first 256 values of
// "speaker" into `embedding`. Returns 0, or -1 with the last error set (a tensor that cannot be
// made under `tensor_label`, a failed run under `run_label`).
int run_speaker_encoder(float *spec, int32_t frames, const char *tensor_label,
                        const char *run_label, float *embedding);

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

enum class model_signal_status { ok, read_failed, resample_failed };

// Reads `path` and brings it to 22050 Hz. On read_failed the reader's message is in `err`; the
// callers word their own messages around it.
model_signal_status read_model_signal(const char *path, model_signal &signal, char *err,
                                      size_t err_size);
