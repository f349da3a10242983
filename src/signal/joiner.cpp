#include "signal/joiner.h"

#include <cmath>
#include <cstring>

namespace {
constexpr double kPi = 3.141592653589793;
constexpr double kTinyEnergy = 1e-12;
}  // namespace

qv_joiner::qv_joiner(int32_t hop, int32_t crossfade, int32_t search)
    : hop_(hop),
      crossfade_(crossfade),
      search_(search),
      tail_(static_cast<size_t>(crossfade)),
      fade_(static_cast<size_t>(crossfade)) {
  // A raised cosine: the two weights add up to 1 at every sample, so two equal signals crossfade
  // into the same signal.
  for (int32_t t = 0; t < crossfade; ++t)
    fade_[t] = static_cast<float>(0.5 - 0.5 * std::cos(kPi * (t + 0.5) / crossfade));
}

// The offset whose window correlates best with the tail, normalised by the window's energy (the
// tail's is the same for every offset). The first maximum wins, so equal matches keep timing.
int32_t qv_joiner::best_offset(const float *piece) const {
  double tail_energy = 0.0;
  for (float v : tail_) tail_energy += static_cast<double>(v) * v;
  if (tail_energy < kTinyEnergy) return 0;  // nothing to match: a silent tail
  double window_energy = 0.0;
  for (int32_t t = 0; t < crossfade_; ++t)
    window_energy += static_cast<double>(piece[t]) * piece[t];
  int32_t best = 0;
  double best_score = -1e300;
  for (int32_t d = 0; d <= search_; ++d) {
    if (d > 0) {
      const double out = piece[d - 1], in = piece[d + crossfade_ - 1];
      window_energy += in * in - out * out;
    }
    double dot = 0.0;
    for (int32_t t = 0; t < crossfade_; ++t) dot += static_cast<double>(piece[d + t]) * tail_[t];
    const double score = dot / std::sqrt(window_energy > kTinyEnergy ? window_energy : kTinyEnergy);
    if (score > best_score) {
      best_score = score;
      best = d;
    }
  }
  return best;
}

// The correlation of the tail with the window that replaces it, from 0 (unrelated) to 1.
double qv_joiner::correlation(const float *from) const {
  double dot = 0.0, a = 0.0, b = 0.0;
  for (int32_t t = 0; t < crossfade_; ++t) {
    dot += static_cast<double>(tail_[t]) * from[t];
    a += static_cast<double>(tail_[t]) * tail_[t];
    b += static_cast<double>(from[t]) * from[t];
  }
  if (a < kTinyEnergy || b < kTinyEnergy) return 1.0;  // silence on one side: nothing to lose
  const double rho = dot / std::sqrt(a * b);
  return rho < 0.0 ? 0.0 : (rho > 1.0 ? 1.0 : rho);
}

void qv_joiner::join(const float *piece, float *out, int32_t count) {
  offset_ = has_tail_ ? best_offset(piece) : 0;
  const float *from = piece + offset_;
  if (has_tail_) {
    // Two signals that agree only in part lose level in the middle of a plain crossfade; the
    // blend is scaled back to the level the two have, for the correlation they show (a gain of
    // exactly 1 when they are the same signal).
    const double rho = correlation(from);
    for (int32_t t = 0; t < crossfade_; ++t) {
      const double w = fade_[t];
      const double kept = (1 - w) * (1 - w) + w * w + 2 * w * (1 - w) * rho;
      const double blend = tail_[t] * (1.0 - w) + from[t] * w;
      out[t] = static_cast<float>(blend / std::sqrt(kept));
    }
  } else {
    std::memcpy(out, from, static_cast<size_t>(crossfade_) * sizeof(float));
  }
  std::memcpy(out + crossfade_, from + crossfade_,
              static_cast<size_t>(count - crossfade_) * sizeof(float));
  std::memcpy(tail_.data(), from + count, static_cast<size_t>(crossfade_) * sizeof(float));
  has_tail_ = true;
}
