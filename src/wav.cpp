#include "wav.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "byte_order.h"
#include "pcm.h"

namespace {

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatFloat = 3;
constexpr uint32_t kFmtRecordSize = 16;
constexpr uint32_t kHeaderSize = 44;

struct fmt_record {
  uint16_t format;
  uint16_t channels;
  uint32_t sample_rate;
  uint16_t bits;
};

#if defined(__GNUC__)
__attribute__((format(printf, 3, 4)))
#endif
void put_error(char *err, size_t err_size, const char *fmt, ...) {
  if (!err) return;
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(err, err_size, fmt, args);
  va_end(args);
}

using qv::load_le16;
using qv::load_le32;

// Closes the file on every path out of the reader.
struct file_closer {
  FILE *f;
  ~file_closer() {
    if (f) std::fclose(f);
  }
};

// Moves forward `count` bytes. Seeking past the end is allowed; the next read then fails.
bool skip_bytes(FILE *f, uint32_t count) {
  return count == 0 || std::fseek(f, static_cast<long>(count), SEEK_CUR) == 0;
}

float decode_sample(const unsigned char *p, const fmt_record &fmt) {
  if (fmt.format == kFormatFloat) return qv::load_le_float(p);
  switch (fmt.bits) {
    case 16:
      return static_cast<float>(static_cast<int16_t>(load_le16(p))) * (1.0f / 32768.0f);
    case 24: {
      int32_t s = p[0] | (p[1] << 8) | (p[2] << 16);
      if (s & 0x800000) s -= 0x1000000;
      return static_cast<float>(s) * (1.0f / 8388608.0f);
    }
    default:
      return static_cast<float>(static_cast<int32_t>(load_le32(p))) * (1.0f / 2147483648.0f);
  }
}

void downmix(const unsigned char *raw, int32_t frames, const fmt_record &fmt, float *out) {
  const size_t sample_bytes = fmt.bits / 8u;
  const float channels = static_cast<float>(fmt.channels);
  for (int32_t i = 0; i < frames; ++i) {
    const unsigned char *frame = raw + static_cast<size_t>(i) * sample_bytes * fmt.channels;
    float sum = 0.0f;
    for (unsigned c = 0; c < fmt.channels; ++c) sum += decode_sample(frame + c * sample_bytes, fmt);
    out[i] = sum / channels;
  }
}

enum class walk_result { data, failed };

// Walks the chunks up to the data chunk, filling `fmt`. On success `data_size` holds the data
// chunk's declared size and the file is positioned at its payload.
walk_result find_data_chunk(FILE *f, fmt_record &fmt, bool &fmt_seen, uint32_t &data_size,
                            char *err, size_t err_size) {
  unsigned char raw_fmt[kFmtRecordSize] = {};
  for (;;) {
    unsigned char header[8];
    if (std::fread(header, 1, sizeof header, f) != sizeof header) {
      put_error(err, err_size, "Missing fmt or data chunk in WAV file");
      return walk_result::failed;
    }
    const uint32_t size = load_le32(header + 4);
    if (std::memcmp(header, "fmt ", 4) == 0) {
      const uint32_t n = size < kFmtRecordSize ? size : kFmtRecordSize;
      if (std::fread(raw_fmt, 1, n, f) != n) {
        put_error(err, err_size, "Truncated fmt chunk");
        return walk_result::failed;
      }
      // A short fmt chunk only covers its first bytes; the rest stay as the last fmt chunk (or
      // zero) left them, never uninitialised.
      fmt.format = load_le16(raw_fmt);
      fmt.channels = load_le16(raw_fmt + 2);
      fmt.sample_rate = load_le32(raw_fmt + 4);
      fmt.bits = load_le16(raw_fmt + 14);
      fmt_seen = true;
      if (size > kFmtRecordSize && !skip_bytes(f, size - kFmtRecordSize)) {
        put_error(err, err_size, "Missing fmt or data chunk in WAV file");
        return walk_result::failed;
      }
    } else if (std::memcmp(header, "data", 4) == 0) {
      data_size = size;
      return walk_result::data;
    } else if (!skip_bytes(f, size)) {
      put_error(err, err_size, "Missing fmt or data chunk in WAV file");
      return walk_result::failed;
    }
  }
}

bool check_format(const fmt_record &fmt, bool fmt_seen, uint32_t data_size, char *err,
                  size_t err_size) {
  if (data_size == 0 || !fmt_seen) {
    put_error(err, err_size, "Missing fmt or data chunk in WAV file");
    return false;
  }
  if (fmt.format != kFormatPcm && fmt.format != kFormatFloat) {
    put_error(err, err_size, "Unsupported WAV audio format: %d (only PCM or IEEE float supported)",
              static_cast<int>(fmt.format));
    return false;
  }
  const bool bits_ok = fmt.bits == 16 || fmt.bits == 24 || fmt.bits == 32;
  if (!bits_ok || (fmt.format == kFormatFloat && fmt.bits != 32)) {
    put_error(err, err_size, "Unsupported bits per sample: %d", static_cast<int>(fmt.bits));
    return false;
  }
  if (fmt.channels == 0) {
    put_error(err, err_size, "Invalid WAV channels/bits");
    return false;
  }
  const uint32_t frame_bytes = (fmt.bits / 8u) * fmt.channels;
  if (data_size < frame_bytes) {
    put_error(err, err_size, "WAV data contains 0 frames");
    return false;
  }
  return true;
}

// The bytes from the current position to the end of the file, or -1 when unknown.
long remaining_bytes(FILE *f) {
  const long here = std::ftell(f);
  if (here < 0 || std::fseek(f, 0, SEEK_END) != 0) return -1;
  const long end = std::ftell(f);
  if (end < 0 || std::fseek(f, here, SEEK_SET) != 0) return -1;
  return end > here ? end - here : 0;
}

}  // namespace

int32_t qv_wav_read(const char *file_path, qv_wav *rec, char *err, size_t err_size) {
  if (!file_path || !rec) {
    put_error(err, err_size, "Invalid arguments");
    return -1;
  }
  *rec = qv_wav{nullptr, 0, 0};
  file_closer file{std::fopen(file_path, "rb")};
  if (!file.f) {
    put_error(err, err_size, "Failed to open input file: %s", file_path);
    return -1;
  }
  unsigned char riff[12];
  if (std::fread(riff, 1, sizeof riff, file.f) != sizeof riff) {
    put_error(err, err_size, "Failed to read RIFF header");
    return -1;
  }
  if (std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0) {
    put_error(err, err_size, "Not a valid RIFF/WAVE file");
    return -1;
  }
  fmt_record fmt{};
  bool fmt_seen = false;
  uint32_t data_size = 0;
  if (find_data_chunk(file.f, fmt, fmt_seen, data_size, err, err_size) != walk_result::data)
    return -1;
  if (!check_format(fmt, fmt_seen, data_size, err, err_size)) return -1;

  const uint32_t frame_bytes = (fmt.bits / 8u) * fmt.channels;
  const uint32_t declared_frames = data_size / frame_bytes;
  // The header may claim far more data than the file holds; never allocate beyond what is there.
  const long remaining = remaining_bytes(file.f);
  uint32_t to_read = data_size;
  if (remaining >= 0 && static_cast<unsigned long>(remaining) < to_read)
    to_read = static_cast<uint32_t>(remaining);
  const uint32_t readable_frames = to_read / frame_bytes;

  float *samples =
      static_cast<float *>(std::malloc((readable_frames ? readable_frames : 1u) * sizeof(float)));
  if (!samples) {
    put_error(err, err_size, "Memory allocation failed for %d samples",
              static_cast<int>(declared_frames));
    return -1;
  }
  unsigned char *raw = static_cast<unsigned char *>(std::malloc(to_read ? to_read : 1u));
  if (!raw) {
    std::free(samples);
    put_error(err, err_size, "Memory allocation failed for %u raw bytes", data_size);
    return -1;
  }
  const size_t got = std::fread(raw, 1, to_read, file.f);
  std::fclose(file.f);
  file.f = nullptr;

  int32_t frames = static_cast<int32_t>(declared_frames);
  if (got < static_cast<size_t>(declared_frames) * frame_bytes)
    frames = static_cast<int32_t>(got / frame_bytes);
  downmix(raw, frames, fmt, samples);
  std::free(raw);
  *rec = qv_wav{samples, frames, static_cast<int32_t>(fmt.sample_rate)};
  return 0;
}

namespace {

void build_header(unsigned char *h, int32_t num_samples, int32_t sample_rate) {
  const uint32_t data_bytes = 2u * static_cast<uint32_t>(num_samples);
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

// Writes the header and the samples that `sample_at` gives, one 16-bit value each. `samples` is
// only checked for null here.
template <typename SampleAt>
int32_t write_pcm16_file(const char *file_path, const void *samples, int32_t num_samples,
                         int32_t sample_rate, SampleAt sample_at, char *err, size_t err_size) {
  // The RIFF size field holds 36 + 2n in 32 bits: refuse counts that would wrap it.
  const bool fits = num_samples <= static_cast<int32_t>((UINT32_MAX - kHeaderSize) / 2u);
  if (!file_path || !samples || num_samples <= 0 || sample_rate <= 0 || !fits) {
    put_error(err, err_size, "Invalid WAV write arguments");
    return -1;
  }
  FILE *f = std::fopen(file_path, "wb");
  if (!f) {
    put_error(err, err_size, "Failed to create output WAV file: %s", file_path);
    return -1;
  }
  unsigned char header[kHeaderSize];
  build_header(header, num_samples, sample_rate);
  bool ok = std::fwrite(header, 1, 12, f) == 12 && std::fwrite(header + 12, 1, 8, f) == 8 &&
            std::fwrite(header + 20, 1, 16, f) == 16 && std::fwrite(header + 36, 1, 8, f) == 8;

  unsigned char *pcm =
      static_cast<unsigned char *>(std::malloc(static_cast<size_t>(num_samples) * 2u));
  if (!pcm) {
    std::fclose(f);
    put_error(err, err_size, "Memory allocation failed for output PCM buffer");
    return -1;
  }
  for (int32_t i = 0; i < num_samples; ++i)
    qv::store_le16(pcm + 2 * static_cast<size_t>(i), static_cast<uint16_t>(sample_at(i)));
  ok = ok &&
       std::fwrite(pcm, 2, static_cast<size_t>(num_samples), f) == static_cast<size_t>(num_samples);
  std::free(pcm);
  ok = (std::fclose(f) == 0) && ok;
  if (!ok) {
    put_error(err, err_size, "Failed to write output WAV file: %s", file_path);
    return -1;
  }
  return 0;
}

}  // namespace

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

void qv_wav_free(qv_wav *rec) {
  if (!rec || !rec->samples) return;
  std::free(rec->samples);
  *rec = qv_wav{nullptr, 0, 0};
}
