// Reading RIFF/WAVE files (PCM 16/24/32-bit, IEEE float 32-bit, any channel count, plain or
// WAVE_FORMAT_EXTENSIBLE) into a mono float signal.
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "audio/byte_order.h"
#include "audio/wav.h"
#include "audio/wav_format.h"
#include "platform/files.h"

namespace {

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatFloat = 3;
constexpr uint16_t kFormatExtensible = 0xFFFE;
constexpr uint32_t kFmtRecordSize = 16;
constexpr uint32_t kFmtExtensibleSize = 40;
// The sub-format GUID of an extensible header is {tag-0000-0010-8000-00AA00389B71}, where tag is
// the plain format tag (1 PCM, 3 IEEE float); these are its bytes after the tag.
constexpr unsigned char kGuidTail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                         0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

using qv::load_le16;
using qv::load_le32;

// The fmt chunk's fields that the reader uses. A later fmt chunk overwrites them; one shorter
// than 16 bytes only its first bytes (the rest keep the last chunk's values, or zero).
struct fmt_fields {
  unsigned char raw[kFmtExtensibleSize] = {};
  bool extended = false;  // the chunk carried the 24 bytes of an extensible header
  uint16_t format() const { return load_le16(raw); }
  uint16_t channels() const { return load_le16(raw + 2); }
  uint32_t sample_rate() const { return load_le32(raw + 4); }
  uint16_t block_align() const { return load_le16(raw + 12); }
  uint16_t bits() const { return load_le16(raw + 14); }
  uint16_t valid_bits() const { return load_le16(raw + 18); }
  // The plain tag an extensible header stands for, or 0 when its sub-format is another.
  uint16_t sub_format() const {
    if (!extended || std::memcmp(raw + 28, kGuidTail, sizeof kGuidTail) != 0) return 0;
    const uint32_t tag = load_le32(raw + 24);
    return tag == kFormatPcm || tag == kFormatFloat ? static_cast<uint16_t>(tag) : 0;
  }
  uint16_t effective_format() const {
    return format() == kFormatExtensible && sub_format() ? sub_format() : format();
  }
};

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

// A chunk id is four printable ASCII characters.
bool plausible_chunk_id(const unsigned char *id) {
  for (int i = 0; i < 4; ++i)
    if (id[i] < 0x20 || id[i] > 0x7E) return false;
  return true;
}

// After a chunk of odd size the format puts a pad byte, but some writers leave it out. The pad is
// taken only when what follows it looks like a chunk header and what follows the declared size
// does not, so every file that read without a pad still reads the same.
void skip_pad_byte(FILE *f) {
  const long here = std::ftell(f);
  if (here < 0) return;
  unsigned char next[5];
  const size_t got = std::fread(next, 1, sizeof next, f);
  const bool pad = got == sizeof next && !plausible_chunk_id(next) && plausible_chunk_id(next + 1);
  std::fseek(f, here + (pad ? 1 : 0), SEEK_SET);
}

// Reads a fmt chunk's payload of `size` bytes into `fmt` and moves past it.
bool read_fmt_chunk(FILE *f, uint32_t size, fmt_fields &fmt, char *err, size_t err_size) {
  const uint32_t n = size < kFmtRecordSize ? size : kFmtRecordSize;
  if (std::fread(fmt.raw, 1, n, f) != n) {
    wav_error(err, err_size, "Truncated fmt chunk");
    return false;
  }
  uint32_t consumed = n;
  fmt.extended = false;
  if (size >= kFmtExtensibleSize) {
    // A short extension means the file ends inside it: the next header read then fails.
    const size_t got = std::fread(fmt.raw + kFmtRecordSize, 1, kFmtExtensibleSize - n, f);
    fmt.extended = got == kFmtExtensibleSize - n;
    consumed += static_cast<uint32_t>(got);
  }
  if (size > consumed && !skip_bytes(f, size - consumed)) {
    wav_error(err, err_size, "Missing fmt or data chunk in WAV file");
    return false;
  }
  return true;
}

// Walks the chunks up to the data chunk. On success `data_size` holds the data chunk's declared
// size and the file is positioned at its payload.
bool find_data_chunk(FILE *f, fmt_fields &fmt, bool &fmt_seen, uint32_t &data_size, char *err,
                     size_t err_size) {
  for (;;) {
    unsigned char header[8];
    if (std::fread(header, 1, sizeof header, f) != sizeof header) {
      wav_error(err, err_size, "Missing fmt or data chunk in WAV file");
      return false;
    }
    const uint32_t size = load_le32(header + 4);
    if (std::memcmp(header, "data", 4) == 0) {
      data_size = size;
      return true;
    }
    if (std::memcmp(header, "fmt ", 4) == 0) {
      if (!read_fmt_chunk(f, size, fmt, err, err_size)) return false;
      fmt_seen = true;
    } else if (!skip_bytes(f, size)) {
      wav_error(err, err_size, "Missing fmt or data chunk in WAV file");
      return false;
    }
    if (size % 2 == 1) skip_pad_byte(f);
  }
}

bool check_format(const fmt_fields &fmt, bool fmt_seen, uint32_t data_size, wav_layout &layout,
                  char *err, size_t err_size) {
  if (data_size == 0 || !fmt_seen) {
    wav_error(err, err_size, "Missing fmt or data chunk in WAV file");
    return false;
  }
  const uint16_t format = fmt.effective_format();
  if (format != kFormatPcm && format != kFormatFloat) {
    wav_error(err, err_size, "Unsupported WAV audio format: %d (only PCM or IEEE float supported)",
              static_cast<int>(fmt.format()));
    return false;
  }
  const uint16_t bits = fmt.bits();
  const bool bits_ok = bits == 16 || bits == 24 || bits == 32;
  if (!bits_ok || (format == kFormatFloat && bits != 32)) {
    wav_error(err, err_size, "Unsupported bits per sample: %d", static_cast<int>(bits));
    return false;
  }
  const uint32_t channels = fmt.channels();
  if (channels == 0) {
    wav_error(err, err_size, "Invalid WAV channels/bits");
    return false;
  }
  // The block align matters only where it says that 24-bit samples sit in 4-byte containers.
  const bool padded24 = bits == 24 && fmt.block_align() == channels * 4u;
  layout.channels = channels;
  layout.container_bytes = padded24 ? 4u : bits / 8u;
  layout.frame_bytes = layout.container_bytes * channels;
  layout.sample_rate = static_cast<int32_t>(fmt.sample_rate());
  layout.data_size = data_size;
  layout.scan_for_justification = false;
  if (format == kFormatFloat) {
    layout.encoding = wav_encoding::float32;
  } else if (bits == 16) {
    layout.encoding = wav_encoding::pcm16;
  } else if (bits == 24) {
    layout.encoding = padded24 ? wav_encoding::pcm24_in_32_low : wav_encoding::pcm24;
  } else {
    layout.encoding = wav_encoding::pcm32;
    layout.scan_for_justification =
        fmt.format() == kFormatExtensible && fmt.extended && fmt.valid_bits() == 24;
  }
  if (data_size < layout.frame_bytes) {
    wav_error(err, err_size, "WAV data contains 0 frames");
    return false;
  }
  return true;
}

float decode_pcm16(const unsigned char *p) {
  return static_cast<float>(static_cast<int16_t>(load_le16(p))) * (1.0f / 32768.0f);
}

float decode_pcm24(const unsigned char *p) {
  int32_t s = p[0] | (p[1] << 8) | (p[2] << 16);
  if (s & 0x800000) s -= 0x1000000;
  return static_cast<float>(s) * (1.0f / 8388608.0f);
}

float decode_pcm32(const unsigned char *p) {
  return static_cast<float>(static_cast<int32_t>(load_le32(p))) * (1.0f / 2147483648.0f);
}

float decode_float32(const unsigned char *p) { return qv::load_le_float(p); }

template <float (*Decode)(const unsigned char *)>
void downmix_as(const unsigned char *raw, int32_t frames, const wav_layout &layout, float *out) {
  const float channels = static_cast<float>(layout.channels);
  for (int32_t i = 0; i < frames; ++i) {
    const unsigned char *frame = raw + static_cast<size_t>(i) * layout.frame_bytes;
    float sum = 0.0f;
    for (uint32_t c = 0; c < layout.channels; ++c)
      sum += Decode(frame + c * layout.container_bytes);
    out[i] = sum / channels;
  }
}

}  // namespace

long wav_remaining_bytes(FILE *f) {
  const long here = std::ftell(f);
  if (here < 0 || std::fseek(f, 0, SEEK_END) != 0) return -1;
  const long end = std::ftell(f);
  if (end < 0 || std::fseek(f, here, SEEK_SET) != 0) return -1;
  return end > here ? end - here : 0;
}

void wav_error(char *err, size_t err_size, const char *fmt, ...) {
  if (!err) return;
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(err, err_size, fmt, args);
  va_end(args);
}

bool wav_read_layout(FILE *f, wav_layout &layout, char *err, size_t err_size) {
  unsigned char riff[12];
  if (std::fread(riff, 1, sizeof riff, f) != sizeof riff) {
    wav_error(err, err_size, "Failed to read RIFF header");
    return false;
  }
  if (std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0) {
    wav_error(err, err_size, "Not a valid RIFF/WAVE file");
    return false;
  }
  fmt_fields fmt;
  bool fmt_seen = false;
  uint32_t data_size = 0;
  if (!find_data_chunk(f, fmt, fmt_seen, data_size, err, err_size)) return false;
  if (!check_format(fmt, fmt_seen, data_size, layout, err, err_size)) return false;
  layout.data_offset = std::ftell(f);
  return true;
}

void wav_downmix(const unsigned char *raw, int32_t frames, const wav_layout &layout, float *out) {
  switch (layout.encoding) {
    case wav_encoding::pcm16:
      return downmix_as<decode_pcm16>(raw, frames, layout, out);
    case wav_encoding::pcm24:
    case wav_encoding::pcm24_in_32_low:
      return downmix_as<decode_pcm24>(raw, frames, layout, out);
    case wav_encoding::pcm32:
      return downmix_as<decode_pcm32>(raw, frames, layout, out);
    case wav_encoding::float32:
      return downmix_as<decode_float32>(raw, frames, layout, out);
  }
}

bool wav_low_bytes_in_use(const unsigned char *raw, uint32_t bytes) {
  for (uint32_t i = 0; i + 4 <= bytes; i += 4)
    if (raw[i] != 0) return true;
  return false;
}

int32_t qv_wav_read(const char *file_path, qv_wav *rec, char *err, size_t err_size) {
  if (!file_path || !rec) {
    wav_error(err, err_size, "Invalid arguments");
    return -1;
  }
  *rec = qv_wav{nullptr, 0, 0};
  file_closer file{qv::open_file(file_path, "rb")};
  if (!file.f) {
    wav_error(err, err_size, "Failed to open input file: %s", file_path);
    return -1;
  }
  wav_layout layout{};
  if (!wav_read_layout(file.f, layout, err, err_size)) return -1;

  const uint32_t declared_frames = layout.data_size / layout.frame_bytes;
  // The header may claim far more data than the file holds; never allocate beyond what is there.
  const long remaining = wav_remaining_bytes(file.f);
  uint32_t to_read = layout.data_size;
  if (remaining >= 0 && static_cast<unsigned long>(remaining) < to_read)
    to_read = static_cast<uint32_t>(remaining);
  const uint32_t readable_frames = to_read / layout.frame_bytes;

  float *samples =
      static_cast<float *>(std::malloc((readable_frames ? readable_frames : 1u) * sizeof(float)));
  if (!samples) {
    wav_error(err, err_size, "Memory allocation failed for %d samples",
              static_cast<int>(declared_frames));
    return -1;
  }
  unsigned char *raw = static_cast<unsigned char *>(std::malloc(to_read ? to_read : 1u));
  if (!raw) {
    std::free(samples);
    wav_error(err, err_size, "Memory allocation failed for %u raw bytes", layout.data_size);
    return -1;
  }
  const size_t got = std::fread(raw, 1, to_read, file.f);
  std::fclose(file.f);
  file.f = nullptr;

  int32_t frames = static_cast<int32_t>(declared_frames);
  if (got < static_cast<size_t>(declared_frames) * layout.frame_bytes)
    frames = static_cast<int32_t>(got / layout.frame_bytes);
  if (layout.scan_for_justification &&
      wav_low_bytes_in_use(raw, static_cast<uint32_t>(frames) * layout.frame_bytes))
    layout.encoding = wav_encoding::pcm24_in_32_low;
  wav_downmix(raw, frames, layout, samples);
  std::free(raw);
  *rec = qv_wav{samples, frames, layout.sample_rate};
  return 0;
}

void qv_wav_free(qv_wav *rec) {
  if (!rec || !rec->samples) return;
  std::free(rec->samples);
  *rec = qv_wav{nullptr, 0, 0};
}
