// File conversion in pieces: the input is read a second at a time, brought to the models' rate
// with the streaming resampler (the samples the whole-file path would compute), converted as
// overlapping pieces joined without a seam, and written as it comes.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "audio/wav_stream.h"
#include "conversion/convert.h"
#include "conversion/pieces.h"
#include "conversion/staged_output.h"
#include "platform/files.h"
#include "signal/effects.h"
#include "signal/fft.h"
#include "signal/rate_stream.h"
#include "signal/resample.h"

namespace {

constexpr size_t kMessageSize = 256;
// 15 s hops with 279 ms of context each (22 frames, far more than the converter's reach): the
// models see continuous audio, memory holds one piece (about 140 MB in all, whatever the file's
// length) and the context costs 1.9 % more work (bench/README.md). The joins have room for a
// long crossfade.
const piece_plan kFilePlan{323 * 1024, 6 * 1024, 256, 1024, 2048, 512, 0, 1, 0.0f, false};

class piecewise_conversion {
 public:
  piecewise_conversion(const qv::engine &engine, const qv::voice &voice, int32_t file_rate,
                       int64_t total)
      : voice_(voice),
        up_(file_rate, qv::kModelRate),
        pieces_(engine, kFilePlan, voice.embedding),
        total_(total) {}

  qv::status run(qv_wav_source &source, qv_wav_sink &sink) {
    std::vector<float> chunk(static_cast<size_t>(source.sample_rate()));
    for (;;) {
      const int32_t n = source.read(chunk.data(), static_cast<int32_t>(chunk.size()));
      if (n <= 0) break;
      up_.push(chunk.data(), static_cast<size_t>(n));
      at_model_.clear();
      up_.pull(at_model_);
      qv::status step = convert(sink);
      if (!step.ok()) return step;
    }
    at_model_.clear();
    up_.finish(at_model_);
    qv::status step = convert(sink);
    if (!step.ok()) return step;
    out_.clear();
    step = pieces_.finish(total_, out_);
    if (!step.ok()) return step;
    return write(sink);
  }

 private:
  qv::status convert(qv_wav_sink &sink) {
    pieces_.push(at_model_.data(), at_model_.size());
    out_.clear();
    qv::status step = pieces_.convert_ready(out_);
    if (!step.ok()) return step;
    return write(sink);
  }

  qv::status write(qv_wav_sink &sink) {
    const int64_t room = total_ - sink.written();
    const auto n = static_cast<int32_t>(std::min<int64_t>(room, static_cast<int64_t>(out_.size())));
    if (n <= 0) return qv::status();
    qv_apply_file_effect(voice_.file_effect, out_.data(), n, sink.written());
    char message[kMessageSize] = {};
    if (sink.write(out_.data(), static_cast<size_t>(n), message, kMessageSize)) return qv::status();
    return qv::status::failure("WAV write failed: %s", message);
  }

  const qv::voice &voice_;
  qv_rate_stream up_;
  piece_converter pieces_;
  int64_t total_;
  std::vector<float> at_model_, out_;
};

}  // namespace

bool wants_pieces(const char *path) {
  qv_wav_source source;
  if (!source.open(path, nullptr, 0) || source.sample_rate() <= 0) return false;
  return qv_resample_length(source.frames(), source.sample_rate(), qv::kModelRate) >
         qv::kPiecewiseThreshold;
}

qv::status convert_in_pieces(const qv::engine &engine, const char *in_path, const char *out_path,
                             const qv::voice &voice, int64_t &out_count) {
  char message[kMessageSize] = {};
  qv_wav_source source;
  if (!source.open(in_path, message, sizeof message))
    return qv::status::failure("WAV read failed: %s", message);
  // As many samples as the whole-file path gives: a whole number of 256-sample frame hops.
  const int64_t total = qv_resample_length(source.frames(), source.sample_rate(), qv::kModelRate) /
                        qv::kFftHop * qv::kFftHop;
  const std::string staging = qv::staging_path(out_path);
  qv_wav_sink sink;
  if (!sink.open(staging.c_str(), qv::kModelRate, message, sizeof message))
    return qv::status::failure("WAV write failed: Failed to create output WAV file: %s", out_path);
  piecewise_conversion conversion(engine, voice, source.sample_rate(), total);
  qv::status outcome = conversion.run(source, sink);
  if (outcome.ok() && !sink.close(message, sizeof message))
    outcome = qv::status::failure("WAV write failed: %s",
                                  qv::as_output_message(message, staging, out_path).c_str());
  if (outcome.ok() && !qv::publish_output(staging, out_path))
    outcome =
        qv::status::failure("WAV write failed: Failed to write output WAV file: %s", out_path);
  if (!outcome.ok()) {
    sink.close(nullptr, 0);  // closed before removal, which Windows needs
    if (staging != out_path) qv::remove_file(staging.c_str());
    return outcome;
  }
  out_count = total;
  return outcome;
}
