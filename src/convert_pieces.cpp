// File conversion in pieces: the input is read a second at a time, brought to the models' rate
// with the streaming resampler (the samples the whole-file path would compute), converted as
// overlapping pieces joined without a seam, and written as it comes.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "catalogue.h"
#include "convert.h"
#include "effects.h"
#include "pieces.h"
#include "rate_stream.h"
#include "report.h"
#include "resample.h"
#include "wav_stream.h"

namespace {

constexpr size_t kMessageSize = 256;
constexpr int32_t kFrameHop = 256;
// 15 s hops with 279 ms of context each (22 frames, far more than the converter's reach): the
// models see continuous audio, memory holds one piece (about 135 MB in all, whatever the file's
// length) and the context costs 1.9 % more work (bench/README.md). The joins have room for a
// long crossfade.
const piece_plan kFilePlan{323 * 1024, 6 * 1024, 256, 1024, 2048, 512, 0, 1, 0.0f, false};

std::string part_path(const char *out_path) { return std::string(out_path) + ".part"; }

// Moves the finished file into place.
bool replace_file(const std::string &from, const char *to) {
#if defined(_WIN32)
  std::remove(to);  // rename does not replace on Windows
#endif
  return std::rename(from.c_str(), to) == 0;
}

class piecewise_conversion {
 public:
  piecewise_conversion(const char *voice, int32_t file_rate, int64_t total)
      : voice_(voice),
        up_(file_rate, qv::kModelRate),
        pieces_(kFilePlan, get_voice_embedding(voice)),
        total_(total) {}

  bool run(qv_wav_source &source, qv_wav_sink &sink, char *message) {
    std::vector<float> chunk(static_cast<size_t>(source.sample_rate()));
    for (;;) {
      const int32_t n = source.read(chunk.data(), static_cast<int32_t>(chunk.size()));
      if (n <= 0) break;
      up_.push(chunk.data(), static_cast<size_t>(n));
      at_model_.clear();
      up_.pull(at_model_);
      if (!convert(sink, message)) return false;
    }
    at_model_.clear();
    up_.finish(at_model_);
    if (!convert(sink, message)) return false;
    out_.clear();
    if (!pieces_.finish(total_, out_)) return false;
    return write(sink, message);
  }

 private:
  bool convert(qv_wav_sink &sink, char *message) {
    pieces_.push(at_model_.data(), at_model_.size());
    out_.clear();
    if (!pieces_.convert_ready(out_)) return false;
    return write(sink, message);
  }

  bool write(qv_wav_sink &sink, char *message) {
    const int64_t room = total_ - sink.written();
    const auto n = static_cast<int32_t>(std::min<int64_t>(room, static_cast<int64_t>(out_.size())));
    if (n <= 0) return true;
    qv_apply_file_effect(file_effect_for(voice_), out_.data(), n, sink.written());
    if (sink.write(out_.data(), static_cast<size_t>(n), message, kMessageSize)) return true;
    set_error("WAV write failed: %s", message);
    return false;
  }

  const char *voice_;
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

int convert_in_pieces(const char *in_path, const char *out_path, const char *voice,
                      int64_t &out_count) {
  char message[kMessageSize] = {};
  qv_wav_source source;
  if (!source.open(in_path, message, sizeof message)) {
    set_error("WAV read failed: %s", message);
    return -1;
  }
  // As many samples as the whole-file path gives: a whole number of 256-sample frame hops.
  const int64_t total = qv_resample_length(source.frames(), source.sample_rate(), qv::kModelRate) /
                        kFrameHop * kFrameHop;
  const std::string part = part_path(out_path);
  qv_wav_sink sink;
  if (!sink.open(part.c_str(), qv::kModelRate, message, sizeof message)) {
    set_error("WAV write failed: Failed to create output WAV file: %s", out_path);
    return -1;
  }
  piecewise_conversion conversion(voice, source.sample_rate(), total);
  bool ok = conversion.run(source, sink, message);  // the last error says why not
  if (ok && !sink.close(message, sizeof message)) {
    set_error("WAV write failed: %s", message);
    ok = false;
  }
  if (ok && !replace_file(part, out_path)) {
    set_error("WAV write failed: Failed to write output WAV file: %s", out_path);
    ok = false;
  }
  if (!ok) {
    sink.close(nullptr, 0);  // closed before removal, which Windows needs
    std::remove(part.c_str());
    return -1;
  }
  out_count = total;
  return 0;
}
