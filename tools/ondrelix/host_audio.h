// Audio at the host's rate and channel count, brought to and from the stream's 16 kHz mono:
// raw s16le pipes with any number of channels, and a sample-rate converter (libsoxr).
#pragma once

#include <soxr.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace cli {

// Converts one mono float channel from one rate to another with libsoxr at its high-quality
// setting. The output stays aligned with the input (soxr takes its filter's delay off itself);
// finish() flushes the tail, after which the total output is the input's length times the rate
// ratio. Equal rates pass the samples through untouched.
class rate_converter {
 public:
  rate_converter(double in_rate, double out_rate);
  ~rate_converter();
  rate_converter(const rate_converter &) = delete;
  rate_converter &operator=(const rate_converter &) = delete;

  bool ok() const { return ok_; }
  void push(const float *in, size_t n, std::vector<float> &out);
  void finish(std::vector<float> &out);

 private:
  void drain(const float *in, size_t n, std::vector<float> &out);
  soxr_t soxr_ = nullptr;
  double ratio_;
  bool ok_ = true;
};

// Interleaved signed 16-bit little-endian frames of `channels` channels, averaged to mono float
// (full scale 1.0). Bytes of an incomplete frame wait for the next call.
class raw_decoder {
 public:
  explicit raw_decoder(int channels) : channels_(channels) {}
  void decode(const unsigned char *bytes, size_t n, std::vector<float> &mono);
  size_t frame_bytes() const { return 2 * static_cast<size_t>(channels_); }

 private:
  int channels_;
  std::vector<unsigned char> pending_;
};

// Mono float to interleaved s16le frames with the sample repeated on every channel.
void encode_raw(const float *mono, size_t n, int channels, std::vector<unsigned char> &bytes);

}  // namespace cli
