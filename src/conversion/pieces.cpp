#include "conversion/pieces.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>

#include "conversion/pipeline.h"
#include "engine/report.h"

piece_converter::piece_converter(const qv::engine &engine, const piece_plan &plan,
                                 const float *target_embedding)
    : engine_(engine), plan_(plan), joiner_(plan.hop, plan.crossfade, plan.search) {
  std::memcpy(target_, target_embedding, sizeof target_);
}

void piece_converter::push(const float *samples, size_t count) {
  history_.insert(history_.end(), samples, samples + count);
  received_ += static_cast<int64_t>(count);
}

// The input from `position` on, read in place. Every window and every span the voice is measured
// on lies in the history: trim_history keeps both, and a piece is converted only once all its
// input has arrived (finish() pushes the silence after the end).
const float *piece_converter::input_from(int64_t position) const {
  assert(position >= first_ && position <= received_);
  return history_.data() + (position - first_);
}

// Keeps what the next piece and the next measurement of the source voice can still read.
// The first input of the next piece's window: `context` before its hop, down to the grid, and
// never before the signal's start (there is nothing there to see).
int64_t piece_converter::window_start() const {
  const int64_t earliest = next_ - plan_.context;
  const int64_t grid = std::max(plan_.grid, 1);
  return earliest > 0 ? earliest / grid * grid : 0;
}

void piece_converter::trim_history() {
  const int64_t keep_from =
      std::min(window_start(), received_ - std::max<int64_t>(plan_.embedding_window, 0));
  if (keep_from <= first_ + static_cast<int64_t>(history_.size() / 2)) return;  // trim in bulk
  const int64_t drop = std::max<int64_t>(0, std::min(keep_from, received_) - first_);
  history_.erase(history_.begin(), history_.begin() + drop);
  first_ += drop;
}

void piece_converter::refresh_source_embedding(const float *window, int32_t window_length) {
  if (plan_.embedding_window <= 0) return;
  if (have_source_ && plan_.embedding_every > 1 && pieces_ % plan_.embedding_every != 0) return;
  const int64_t end = received_;
  const int64_t begin = std::max<int64_t>(0, end - plan_.embedding_window);
  // Too little audio yet: the piece's own window is the best there is.
  const bool enough = end - begin >= std::max<int64_t>(window_length, qv::kMinModelSamples);
  const float *samples = enough ? input_from(begin) : window;
  const auto count = enough ? static_cast<int32_t>(end - begin) : window_length;
  float measured[qv::kEmbeddingSize];
  if (measure_source_embedding(engine_, samples, count, measured).ok()) {
    std::memcpy(source_, measured, sizeof source_);
    have_source_ = true;
  }
}

// The models' output for one window, from the hop's nominal start on, into `piece`.
qv::status piece_converter::model_piece(const float *window, int32_t length,
                                        std::vector<float> &piece) {
  float *converted = nullptr;
  int32_t count = 0;
  qv::status step = qv::status::failure("Invalid inference parameters");
  if (plan_.embedding_window > 0) {
    refresh_source_embedding(window, length);
    if (have_source_)
      step = convert_with_source(engine_, window, length, source_, target_, &converted, &count);
  } else {
    step = run_openvoice_inference(engine_, window, length, target_, &converted, &count);
  }
  const int64_t lead = next_ - window_start();  // the window's samples before the hop
  if (!step.ok()) {
    if (!plan_.pass_through_on_failure) return step;
    piece.assign(window + lead, window + lead + piece.size());  // the piece passes through
    return qv::status();
  }
  // The output is aligned with the input; what the models did not give is silence.
  for (size_t i = 0; i < piece.size(); ++i) {
    const int64_t at = lead + static_cast<int64_t>(i);
    piece[i] = at < count ? converted[at] : 0.0f;
  }
  std::free(converted);
  return step;
}

namespace {

// The RMS of x[0..n) about its mean: a DC offset (a cheap sound card records one) is no sound,
// and must not hold the gate open through the pauses.
double level_about_mean(const float *x, int32_t n) {
  double sum = 0.0, sum_sq = 0.0;
  for (int32_t i = 0; i < n; ++i) {
    sum += x[i];
    sum_sq += double(x[i]) * x[i];
  }
  const double mean = sum / n;
  return std::sqrt(std::max(0.0, sum_sq / n - mean * mean));
}

}  // namespace

// Converts the piece whose hop starts at next_ and is `hop` long (the plan's, or less for the
// last piece of a signal).
qv::status piece_converter::convert_piece(std::vector<float> &out, int32_t hop) {
  const double t0 = now_ms();
  const int64_t start = window_start();
  const auto length = static_cast<int32_t>(input_needed(hop) - start);
  const float *window = input_from(start);
  piece_.assign(static_cast<size_t>(hop + plan_.crossfade + plan_.search), 0.0f);
  const bool gated =
      plan_.gate_rms > 0 && level_about_mean(window + (next_ - start), hop) < plan_.gate_rms;
  if (gated) {
    ++gated_;  // silence, which the joiner fades into and out of
  } else {
    qv::status modelled = model_piece(window, length, piece_);
    if (!modelled.ok()) return modelled;
  }
  hop_out_.resize(static_cast<size_t>(hop));
  joiner_.join(piece_.data(), hop_out_.data(), hop);
  out.insert(out.end(), hop_out_.begin(), hop_out_.end());
  next_ += hop;
  produced_ += hop;
  ++pieces_;
  piece_ms_.push_back(now_ms() - t0);
  trim_history();
  return qv::status();
}

qv::status piece_converter::convert_ready(std::vector<float> &out) {
  while (received_ >= input_needed()) {
    qv::status converted = convert_piece(out, plan_.hop);
    if (!converted.ok()) return converted;
  }
  return qv::status();
}

qv::status piece_converter::finish(int64_t total, std::vector<float> &out) {
  qv::status step = convert_ready(out);
  if (!step.ok()) return step;
  // What is left is shorter than a hop: one last, shorter piece, with silence after the input.
  const int64_t left = total - produced_;
  if (left <= 0) return step;
  const auto hop = static_cast<int32_t>(std::max<int64_t>(left, plan_.crossfade));
  const std::vector<float> silence(
      static_cast<size_t>(std::max<int64_t>(0, input_needed(hop) - received_)), 0.0f);
  push(silence.data(), silence.size());
  const size_t at = out.size();
  step = convert_piece(out, hop);
  if (step.ok()) out.resize(at + static_cast<size_t>(left));
  return step;
}

int64_t piece_converter::rejoin() {
  const int64_t skipped = std::max<int64_t>(0, received_ - next_);
  next_ = received_;
  return skipped;
}
