#include "host_audio.h"

#include "audio/byte_order.h"
#include "signal/pcm.h"

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

}  // namespace cli
