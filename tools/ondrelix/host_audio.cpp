#include "host_audio.h"

#include <algorithm>

#include "audio/byte_order.h"
#include "ondrelix.h"
#include "signal/pcm.h"
#include "stream/stream_constants.h"

namespace cli {

rate_converter::rate_converter(double in_rate, double out_rate) : ratio_(out_rate / in_rate) {
  if (in_rate == out_rate) return;
  soxr_error_t error = nullptr;
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  soxr_ = soxr_create(in_rate, out_rate, 1, &error, &io, &quality, nullptr);
  ok_ = soxr_ && !error;
}

rate_converter::~rate_converter() {
  if (soxr_) soxr_delete(soxr_);
}

void rate_converter::drain(const float *in, size_t n, std::vector<float> &out) {
  // soxr may hold input back and give it out later; call until it has taken everything (or, when
  // flushing with no input, until it gives nothing more).
  const size_t room = static_cast<size_t>(static_cast<double>(n) * ratio_) + 4096;
  for (;;) {
    const size_t before = out.size();
    out.resize(before + room);
    size_t taken = 0, given = 0;
    soxr_process(soxr_, in, n, in ? &taken : nullptr, out.data() + before, room, &given);
    out.resize(before + given);
    if (in) {
      in += taken;
      n -= taken;
      if (n == 0) return;
    } else if (given == 0) {
      return;
    }
  }
}

void rate_converter::push(const float *in, size_t n, std::vector<float> &out) {
  if (!soxr_) {
    out.insert(out.end(), in, in + n);
    return;
  }
  if (n > 0) drain(in, n, out);
}

void rate_converter::finish(std::vector<float> &out) {
  if (soxr_) drain(nullptr, 0, out);
}

void raw_decoder::decode(const unsigned char *bytes, size_t n, std::vector<float> &mono) {
  pending_.insert(pending_.end(), bytes, bytes + n);
  const size_t frame = 2 * static_cast<size_t>(channels_);
  const size_t frames = pending_.size() / frame;
  const float count = static_cast<float>(channels_);
  for (size_t i = 0; i < frames; ++i) {
    float sum = 0.0f;
    for (int c = 0; c < channels_; ++c)
      sum +=
          qv::float_from_pcm16(static_cast<int16_t>(qv::load_le16(&pending_[i * frame + 2 * c])));
    mono.push_back(sum / count);
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(frames * frame));
}

void encode_raw(const float *mono, size_t n, int channels, std::vector<unsigned char> &bytes) {
  const size_t frame = 2 * static_cast<size_t>(channels);
  bytes.resize(n * frame);
  for (size_t i = 0; i < n; ++i) {
    const uint16_t s = static_cast<uint16_t>(qv::pcm16_round(mono[i]));
    for (int c = 0; c < channels; ++c) qv::store_le16(&bytes[i * frame + 2 * c], s);
  }
}

stream_link::stream_link(double in_rate, double out_rate)
    : to_stream_(in_rate, qv::kStreamRate), from_stream_(qv::kStreamRate, out_rate) {}

void stream_link::write_stream_rate(const std::vector<float> &samples) {
  pcm_.resize(samples.size());
  for (size_t i = 0; i < samples.size(); ++i) pcm_[i] = qv::pcm16_round(samples[i]);
  if (!pcm_.empty()) ondrelix_rt_write(pcm_.data(), static_cast<int>(pcm_.size()));
  fed_ += static_cast<int64_t>(pcm_.size());
}

void stream_link::write(const float *host, size_t n) {
  at_stream_.clear();
  to_stream_.push(host, n, at_stream_);
  write_stream_rate(at_stream_);
}

void stream_link::end_input() {
  at_stream_.clear();
  to_stream_.finish(at_stream_);
  write_stream_rate(at_stream_);
}

void stream_link::write_silence(int64_t n) {
  if (n <= 0) return;
  std::vector<int16_t> zeros(static_cast<size_t>(n), 0);
  ondrelix_rt_write(zeros.data(), static_cast<int>(n));
}

void stream_link::take(const int16_t *samples, int64_t n, std::vector<float> &host) {
  const int64_t kept = std::min<int64_t>(n, std::max<int64_t>(fed_ - delivered_, 0));
  if (kept <= 0) return;
  delivered_ += kept;
  at_stream_.resize(static_cast<size_t>(kept));
  for (int64_t i = 0; i < kept; ++i)
    at_stream_[static_cast<size_t>(i)] = qv::float_from_pcm16(samples[i]);
  from_stream_.push(at_stream_.data(), at_stream_.size(), host);
}

}  // namespace cli
