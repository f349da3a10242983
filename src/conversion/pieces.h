// Converting a long signal at the models' rate as overlapping pieces joined without a seam: the
// one mechanism behind the continuous stream and long files. Each piece is the hop to convert,
// the context before it (so the models see continuous audio) and the joiner's lookahead after
// it; the joined output has one sample for every input sample, aligned with it. Internal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common.h"
#include "engine/engine.h"
#include "engine/status.h"
#include "signal/joiner.h"

struct piece_plan {
  int32_t hop;        // output per piece
  int32_t context;    // input before the hop that each piece sees, at least; the window starts
                      // on a multiple of `grid` before that
  int32_t right;      // input after the joiner's lookahead, so that the frames the tail comes
                      // from are whole (not at the window's reflected end)
  int32_t grid;       // window starts fall on multiples of this (1024: the converter's phase
                      // start repeats every 4 frames, so pieces agree on it)
  int32_t crossfade;  // joiner: samples over which two pieces are blended
  int32_t search;     // joiner: the most samples by which a join may move
  // The source voice is measured on the newest `embedding_window` samples every
  // `embedding_every` pieces; 0 measures it on each piece itself.
  int32_t embedding_window;
  int32_t embedding_every;
  float gate_rms;  // a hop quieter than this skips the models and comes out silent; 0: no gate
  bool pass_through_on_failure;  // a piece the models refuse: its input instead (else: an error)
};

class piece_converter {
 public:
  // Converts on `engine`, which must outlive the converter.
  piece_converter(const qv::engine &engine, const piece_plan &plan, const float *target_embedding);

  // Model-rate input, in order. Position 0 is the signal's start; before it is silence.
  void push(const float *samples, size_t count);
  // Converts every piece whose input is complete, appending `hop` samples per piece to `out`.
  // Fails only when the models failed and pass-through is off.
  qv::status convert_ready(std::vector<float> &out);
  // After the input's end: converts the rest with silence after it, so that the output totals
  // `total` samples (cut there).
  qv::status finish(int64_t total, std::vector<float> &out);
  // The input resumes at its end after a gap: the next piece starts there, and the joiner
  // crossfades the last piece into it. Returns the input samples skipped (lookahead).
  int64_t rejoin();

  // Input needed (from position 0) before the next piece can be converted.
  int64_t input_needed() const { return input_needed(plan_.hop); }
  int64_t input_received() const { return received_; }
  int64_t output_produced() const { return produced_; }
  int64_t output_position_of_next() const { return next_; }

  // Per-piece statistics.
  const std::vector<double> &piece_ms() const { return piece_ms_; }
  int64_t gated() const { return gated_; }

 private:
  qv::status convert_piece(std::vector<float> &out, int32_t hop);
  qv::status model_piece(const float *window, int32_t length, std::vector<float> &piece);
  void refresh_source_embedding(const float *window, int32_t window_length);
  const float *input_from(int64_t position) const;
  void trim_history();
  int64_t window_start() const;
  int64_t input_needed(int32_t hop) const {
    return next_ + hop + plan_.crossfade + plan_.search + plan_.right;
  }

  const qv::engine &engine_;
  piece_plan plan_;
  float target_[qv::kEmbeddingSize];
  float source_[qv::kEmbeddingSize];
  bool have_source_ = false;
  qv_joiner joiner_;
  std::vector<float> history_;  // input from position first_ on
  int64_t first_ = 0;
  int64_t received_ = 0;
  int64_t next_ = 0;  // input position where the next hop starts
  int64_t produced_ = 0;
  int64_t pieces_ = 0;
  int64_t gated_ = 0;
  std::vector<double> piece_ms_;
  std::vector<float> piece_, hop_out_;
};
