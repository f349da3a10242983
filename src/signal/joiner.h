// Joining converted pieces of one long signal without a seam. Each piece is converted with some
// context before it and comes with `crossfade + search` samples more than its hop; the joiner
// finds the offset (0 to `search`) at which the new piece's start best matches what the last
// piece said comes next, crossfades there, and emits exactly `hop` samples per piece, so the
// output keeps the input's length and its timing (the offset never accumulates).
// Pure signal code: no engine state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class qv_joiner {
 public:
  // crossfade <= hop; every count positive (search may be 0).
  qv_joiner(int32_t hop, int32_t crossfade, int32_t search);

  // Samples each piece must bring, from its nominal start on.
  int32_t piece_length() const { return hop_ + crossfade_ + search_; }
  int32_t hop() const { return hop_; }

  // `piece` holds piece_length() samples whose first is the piece's nominal start. Writes `hop`
  // samples to `out` (`count` of them, for a last piece that is shorter: from crossfade to hop).
  // The first piece is taken as it is.
  void join(const float *piece, float *out) { join(piece, out, hop_); }
  void join(const float *piece, float *out, int32_t count);

  // The offset the last join chose.
  int32_t last_offset() const { return offset_; }

 private:
  int32_t best_offset(const float *piece) const;
  double correlation(const float *from) const;

  int32_t hop_, crossfade_, search_;
  std::vector<float> tail_;  // what the last piece says follows its hop
  std::vector<float> fade_;  // rising weight of the new piece over the crossfade
  bool has_tail_ = false;
  int32_t offset_ = 0;
};
