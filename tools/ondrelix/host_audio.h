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

// The library's running stream seen from a host at its own rates: what the host gives is
// brought to 16 kHz and written to the stream; what the stream gives back is kept only up to what
// was written (the silence that pushes the last samples through stays out) and brought to the
// host's output rate.
class stream_link {
 public:
  stream_link(double in_rate, double out_rate);
  bool ok() const { return to_stream_.ok() && from_stream_.ok(); }

  // Writes host samples to the stream.
  void write(const float *host, size_t n);
  // The input has ended: writes what the input resampler still holds.
  void end_input();
  // Writes n samples of silence that are not the user's audio (not counted as fed).
  void write_silence(int64_t n);
  // Samples read from the stream, appended to `host` at the output rate.
  void take(const int16_t *samples, int64_t n, std::vector<float> &host);
  // The output resampler's tail, appended to `host`.
  void end_output(std::vector<float> &host) { from_stream_.finish(host); }

  int64_t fed() const { return fed_; }              // user samples written at 16 kHz
  int64_t delivered() const { return delivered_; }  // of those, the ones that came back

 private:
  void write_stream_rate(const std::vector<float> &samples);
  rate_converter to_stream_, from_stream_;
  std::vector<float> at_stream_;
  std::vector<int16_t> pcm_;
  int64_t fed_ = 0, delivered_ = 0;
};

}  // namespace cli
