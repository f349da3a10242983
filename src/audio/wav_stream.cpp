#include "audio/wav_stream.h"

#include <algorithm>
#include <cstring>

#include "audio/byte_order.h"
#include "platform/files.h"
#include "signal/pcm.h"

namespace {

constexpr uint32_t kHeaderSize = 44;
constexpr size_t kScanBytes = 1 << 20;

}  // namespace

qv_wav_source::~qv_wav_source() {
  if (file_) std::fclose(file_);
}

bool qv_wav_source::open(const char *path, char *err, size_t err_size) {
  file_ = qv::open_file(path, "rb");
  if (!file_) {
    wav_error(err, err_size, "Failed to open input file: %s", path);
    return false;
  }
  if (!wav_read_layout(file_, layout_, err, err_size)) return false;
  const long remaining = wav_remaining_bytes(file_);
  int64_t bytes = layout_.data_size;
  if (remaining >= 0 && remaining < bytes) bytes = remaining;
  frames_ = bytes / layout_.frame_bytes;
  justification_pending_ = layout_.scan_for_justification;
  return true;
}

// Which end of its 4-byte containers the 24-bit samples sit at is known only from the data: a
// scan of the whole data, done before the first read (a caller that wants only the header never
// pays for it).
void qv_wav_source::settle_justification() {
  justification_pending_ = false;
  std::vector<unsigned char> chunk(kScanBytes);
  int64_t left = frames_ * layout_.frame_bytes;
  while (left > 0) {
    const size_t n = std::fread(chunk.data(), 1,
                                static_cast<size_t>(std::min<int64_t>(left, kScanBytes)), file_);
    if (n == 0) break;
    if (wav_low_bytes_in_use(chunk.data(), static_cast<uint32_t>(n))) {
      layout_.encoding = wav_encoding::pcm24_in_32_low;
      break;
    }
    left -= static_cast<int64_t>(n);
  }
  std::fseek(file_, layout_.data_offset, SEEK_SET);
}

int32_t qv_wav_source::read(float *out, int32_t max) {
  if (justification_pending_) settle_justification();  // before the first frame is read
  const int64_t n = std::min<int64_t>(max, frames_ - position_);
  if (n <= 0) return 0;
  raw_.resize(static_cast<size_t>(n) * layout_.frame_bytes);
  const size_t got = std::fread(raw_.data(), layout_.frame_bytes, static_cast<size_t>(n), file_);
  wav_downmix(raw_.data(), static_cast<int32_t>(got), layout_, out);
  position_ += static_cast<int64_t>(got);
  if (got < static_cast<size_t>(n)) frames_ = position_;  // the file ended early after all
  return static_cast<int32_t>(got);
}

qv_wav_sink::~qv_wav_sink() {
  if (file_) std::fclose(file_);
}

bool qv_wav_sink::open(const char *path, int32_t sample_rate, char *err, size_t err_size) {
  if (!path || sample_rate <= 0) {
    wav_error(err, err_size, "Invalid WAV write arguments");
    return false;
  }
  path_ = path;
  file_ = qv::open_file(path, "wb");
  if (!file_) {
    wav_error(err, err_size, "Failed to create output WAV file: %s", path);
    return false;
  }
  unsigned char header[kHeaderSize];
  wav_put_header(header, 0, sample_rate);
  ok_ = std::fwrite(header, 1, kHeaderSize, file_) == kHeaderSize;
  return true;
}

bool qv_wav_sink::write(const float *samples, size_t count, char *err, size_t err_size) {
  pcm_.resize(count * 2);
  for (size_t i = 0; i < count; ++i)
    qv::store_le16(&pcm_[2 * i], static_cast<uint16_t>(qv::pcm16_from_float(samples[i])));
  ok_ = ok_ && std::fwrite(pcm_.data(), 2, count, file_) == count;
  written_ += static_cast<int64_t>(count);
  if (!ok_) wav_error(err, err_size, "Failed to write output WAV file: %s", path_.c_str());
  return ok_;
}

bool qv_wav_sink::close(char *err, size_t err_size) {
  if (!file_) return false;
  // The RIFF size field holds 36 + 2n in 32 bits.
  const bool fits = written_ <= static_cast<int64_t>((UINT32_MAX - kHeaderSize) / 2u);
  if (fits && written_ > 0) {
    unsigned char sizes[4];
    qv::store_le32(sizes, 36u + 2u * static_cast<uint32_t>(written_));
    ok_ = ok_ && std::fseek(file_, 4, SEEK_SET) == 0 && std::fwrite(sizes, 1, 4, file_) == 4;
    qv::store_le32(sizes, 2u * static_cast<uint32_t>(written_));
    ok_ = ok_ && std::fseek(file_, 40, SEEK_SET) == 0 && std::fwrite(sizes, 1, 4, file_) == 4;
  }
  ok_ = (std::fclose(file_) == 0) && ok_;
  file_ = nullptr;
  if (!fits || written_ == 0) {
    wav_error(err, err_size, "Invalid WAV write arguments");
    return false;
  }
  if (!ok_) wav_error(err, err_size, "Failed to write output WAV file: %s", path_.c_str());
  return ok_;
}
