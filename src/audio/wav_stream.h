// WAV files read and written piece by piece, so that a long recording never has to be in memory
// whole. The same layouts and messages as qv_wav_read and qv_wav_write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "audio/wav_format.h"

class qv_wav_source {
 public:
  qv_wav_source() = default;
  qv_wav_source(const qv_wav_source &) = delete;
  qv_wav_source &operator=(const qv_wav_source &) = delete;
  ~qv_wav_source();

  // Opens the file and reads its header; false with qv_wav_read's message in `err`.
  bool open(const char *path, char *err, size_t err_size);
  int32_t sample_rate() const { return layout_.sample_rate; }
  // Frames the file holds (the declared data, or less when the file is shorter).
  int64_t frames() const { return frames_; }
  // Reads up to `max` frames as mono float (the channels averaged); returns how many (0 at the
  // end of the data).
  int32_t read(float *out, int32_t max);

 private:
  void settle_justification();

  FILE *file_ = nullptr;
  wav_layout layout_{};
  int64_t frames_ = 0;
  int64_t position_ = 0;
  bool justification_pending_ = false;
  std::vector<unsigned char> raw_;
};

class qv_wav_sink {
 public:
  qv_wav_sink() = default;
  qv_wav_sink(const qv_wav_sink &) = delete;
  qv_wav_sink &operator=(const qv_wav_sink &) = delete;
  ~qv_wav_sink();  // a sink never closed leaves its file with sizes of 0

  // Creates a 16-bit PCM mono file at `sample_rate`; false with the writer's message.
  bool open(const char *path, int32_t sample_rate, char *err, size_t err_size);
  // Appends samples, clipped and converted as qv_wav_write does.
  bool write(const float *samples, size_t count, char *err, size_t err_size);
  // Writes the header's sizes and closes the file; false when anything failed to reach the disk
  // or the file outgrew the format's 32-bit sizes.
  bool close(char *err, size_t err_size);
  int64_t written() const { return written_; }

 private:
  FILE *file_ = nullptr;
  std::string path_;  // for messages
  int64_t written_ = 0;
  bool ok_ = true;
  std::vector<unsigned char> pcm_;
};
