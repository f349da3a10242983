// Reading RIFF/WAVE files (PCM 16/24/32-bit, IEEE float 32-bit, any channel count) into a mono
// float signal, and writing mono float signals as 16-bit PCM WAV files.
#pragma once

#include <cstddef>
#include <cstdint>

// A mono float signal read from a file. `samples` is owned by the record (release it with
// qv_wav_free); full scale is 1.0.
struct qv_wav {
  float *samples;
  int32_t frames;
  int32_t sample_rate;
};

// Reads `file_path` and averages its channels. On success fills `rec` and returns 0. On failure
// returns -1, leaves `rec` as {null, 0, 0} (untouched when a pointer argument is null) and writes
// a message into `err` (snprintf-style, when err is non-null). `err` is not touched on success.
int32_t qv_wav_read(const char *file_path, qv_wav *rec, char *err, size_t err_size);

// Writes a 44-byte-header 16-bit PCM mono file; samples beyond [-1, 1] are clipped, NaN is 0.
// Returns 0, or -1 with a message in `err`. A write or close failure (a full disk) is reported.
int32_t qv_wav_write(const char *file_path, const float *samples, int32_t num_samples,
                     int32_t sample_rate, char *err, size_t err_size);

// Like qv_wav_write for samples that are 16-bit already; they are written as they are.
int32_t qv_wav_write_pcm16(const char *file_path, const int16_t *samples, int32_t num_samples,
                           int32_t sample_rate, char *err, size_t err_size);

// Releases the record's samples and zeroes it; a record without samples is left as it is.
void qv_wav_free(qv_wav *rec);
