// How the samples of a WAV file are laid out, as the reader finds it in the header, and how to
// decode them. Shared by the whole-file reader and the piecewise reader. Internal to wav.
#pragma once

#include <cstdint>
#include <cstdio>

// The sample encodings the reader takes.
enum class wav_encoding {
  pcm16,
  pcm24,            // 3 bytes per sample
  pcm24_in_32_low,  // 24-bit samples in the low 3 bytes of 4-byte containers
  pcm32,
  float32,
};

struct wav_layout {
  wav_encoding encoding;
  uint32_t channels;
  uint32_t container_bytes;  // bytes per sample in the file
  uint32_t frame_bytes;      // container_bytes * channels
  int32_t sample_rate;
  uint32_t data_size;           // as the data chunk declares it
  long data_offset;             // where the payload starts
  bool scan_for_justification;  // extensible 32-bit containers with 24 valid bits (see wav_read)
};

// Reads the RIFF header and walks the chunks to the data chunk. On success fills `layout` and
// leaves the file at the payload; on failure writes the reader's message and returns false.
bool wav_read_layout(FILE *f, wav_layout &layout, char *err, size_t err_size);

// Decodes `frames` whole frames of `raw` into mono float: the channels, each scaled to full scale
// 1.0 in float32, summed in channel order and divided by the channel count.
void wav_downmix(const unsigned char *raw, int32_t frames, const wav_layout &layout, float *out);

// For 32-bit containers declared with 24 valid bits: the format puts the 24 bits at the top and
// zero below, which decodes as 32-bit PCM; a container whose low byte is not zero cannot be that,
// so it holds its sample in the low 3 bytes instead (as ALSA's S24_LE does).
bool wav_low_bytes_in_use(const unsigned char *raw, uint32_t bytes);

// The bytes from the file's position to its end, or -1 when that cannot be told.
long wav_remaining_bytes(FILE *f);

// The canonical 44-byte header of a 16-bit PCM mono file of `samples` samples.
void wav_put_header(unsigned char *header, uint32_t samples, int32_t sample_rate);

// snprintf into `err` when it is given.
#if defined(__GNUC__)
__attribute__((format(printf, 3, 4)))
#endif
void wav_error(char *err, size_t err_size, const char *fmt, ...);
