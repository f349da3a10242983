// Writing mono signals as 16-bit PCM WAV files with the canonical 44-byte header.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/byte_order.h"
#include "audio/wav.h"
#include "audio/wav_format.h"
#include "platform/files.h"
#include "signal/pcm.h"

namespace {

constexpr uint16_t kFormatPcm = 1;
constexpr uint32_t kHeaderSize = 44;

// Writes the header and the samples that `sample_at` gives, one 16-bit value each. `samples` is
// only checked for null here.
template <typename SampleAt>
int32_t write_pcm16_file(const char *file_path, const void *samples, int32_t num_samples,
                         int32_t sample_rate, SampleAt sample_at, char *err, size_t err_size) {
  // The RIFF size field holds 36 + 2n in 32 bits: refuse counts that would wrap it.
  const bool fits = num_samples <= static_cast<int32_t>((UINT32_MAX - kHeaderSize) / 2u);
  if (!file_path || !samples || num_samples <= 0 || sample_rate <= 0 || !fits) {
    wav_error(err, err_size, "Invalid WAV write arguments");
    return -1;
  }
  FILE *f = qv::open_file(file_path, "wb");
  if (!f) {
    wav_error(err, err_size, "Failed to create output WAV file: %s", file_path);
    return -1;
  }
  unsigned char header[kHeaderSize];
  wav_put_header(header, static_cast<uint32_t>(num_samples), sample_rate);
  bool ok = std::fwrite(header, 1, 12, f) == 12 && std::fwrite(header + 12, 1, 8, f) == 8 &&
            std::fwrite(header + 20, 1, 16, f) == 16 && std::fwrite(header + 36, 1, 8, f) == 8;

  unsigned char *pcm =
      static_cast<unsigned char *>(std::malloc(static_cast<size_t>(num_samples) * 2u));
  if (!pcm) {
    std::fclose(f);
    wav_error(err, err_size, "Memory allocation failed for output PCM buffer");
    return -1;
  }
  for (int32_t i = 0; i < num_samples; ++i)
    qv::store_le16(pcm + 2 * static_cast<size_t>(i), static_cast<uint16_t>(sample_at(i)));
  ok = ok &&
       std::fwrite(pcm, 2, static_cast<size_t>(num_samples), f) == static_cast<size_t>(num_samples);
  std::free(pcm);
  ok = (std::fclose(f) == 0) && ok;
  if (!ok) {
    wav_error(err, err_size, "Failed to write output WAV file: %s", file_path);
    return -1;
  }
  return 0;
}

}  // namespace

void wav_put_header(unsigned char *h, uint32_t samples, int32_t sample_rate) {
  const uint32_t data_bytes = 2u * samples;
  std::memcpy(h, "RIFF", 4);
  qv::store_le32(h + 4, 36u + data_bytes);
  std::memcpy(h + 8, "WAVE", 4);
  std::memcpy(h + 12, "fmt ", 4);
  qv::store_le32(h + 16, 16);
  qv::store_le16(h + 20, kFormatPcm);
  qv::store_le16(h + 22, 1);
  qv::store_le32(h + 24, static_cast<uint32_t>(sample_rate));
  qv::store_le32(h + 28, static_cast<uint32_t>(sample_rate) * 2u);
  qv::store_le16(h + 32, 2);
  qv::store_le16(h + 34, 16);
  std::memcpy(h + 36, "data", 4);
  qv::store_le32(h + 40, data_bytes);
}

int32_t qv_wav_write(const char *file_path, const float *samples, int32_t num_samples,
                     int32_t sample_rate, char *err, size_t err_size) {
  return write_pcm16_file(
      file_path, samples, num_samples, sample_rate,
      [samples](int32_t i) { return qv::pcm16_from_float(samples[i]); }, err, err_size);
}

int32_t qv_wav_write_pcm16(const char *file_path, const int16_t *samples, int32_t num_samples,
                           int32_t sample_rate, char *err, size_t err_size) {
  return write_pcm16_file(
      file_path, samples, num_samples, sample_rate, [samples](int32_t i) { return samples[i]; },
      err, err_size);
}
