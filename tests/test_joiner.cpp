// The joiner and the streaming resampler alone, on known signals (no models).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "signal/joiner.h"
#include "signal/rate_stream.h"
#include "signal/resample.h"
#include "test_support.h"

namespace {

std::vector<float> noise(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-0.5f, 0.5f);
  std::vector<float> x(n);
  for (float &v : x) v = u(rng);
  return x;
}

struct plan_case {
  int32_t hop, crossfade, search;
};

void PrintTo(const plan_case &c, std::ostream *os) {
  *os << c.hop << "/" << c.crossfade << "/" << c.search;
}

class JoinerPlans : public ::testing::TestWithParam<plan_case> {};

// Pieces cut from one signal, each late by its own random amount within the search, join back
// into that signal: the joiner finds every offset, and the crossfade of two equal signals is the
// signal.
TEST_P(JoinerPlans, PiecesCutFromOneSignalJoinBackIntoIt) {
  const plan_case c = GetParam();
  const int pieces = 24;
  const std::vector<float> x = noise(static_cast<size_t>(c.hop) * (pieces + 2), 7);
  qv_joiner joiner(c.hop, c.crossfade, c.search);
  std::mt19937 rng(11);
  std::vector<float> out(static_cast<size_t>(c.hop) * pieces);
  for (int k = 0; k < pieces; ++k) {
    // The first piece sets the timing: it starts `search` late, so every later one can be
    // matched with an offset from 0 to `search`.
    const int32_t late = k == 0 ? c.search : static_cast<int32_t>(rng() % (c.search + 1));
    const float *piece = x.data() + static_cast<size_t>(k) * c.hop + late;
    joiner.join(piece, out.data() + static_cast<size_t>(k) * c.hop);
    if (k > 0) ASSERT_EQ(joiner.last_offset(), c.search - late) << k;
  }
  for (size_t i = 0; i < out.size(); ++i)
    ASSERT_NEAR(out[i], x[i + static_cast<size_t>(c.search)], 2e-6f) << i;
}

INSTANTIATE_TEST_SUITE_P(Table, JoinerPlans,
                         ::testing::Values(plan_case{1024, 256, 256}, plan_case{743, 64, 0},
                                           plan_case{4096, 1024, 512}, plan_case{300, 300, 37}));

// Two pieces that do not agree (independent noise of one level) keep their level through the
// crossfade instead of losing up to 3 dB in its middle.
TEST(Joiner, CrossfadeOfUnrelatedPiecesKeepsTheLevel) {
  const int32_t hop = 1024, fade = 512;
  qv_joiner joiner(hop, fade, 0);
  const std::vector<float> a = noise(hop + fade, 1), b = noise(hop + fade, 2);
  std::vector<float> out(hop);
  joiner.join(a.data(), out.data());
  joiner.join(b.data(), out.data());
  double mid = 0.0, ref = 0.0;
  for (int32_t t = fade / 4; t < 3 * fade / 4; ++t) {
    mid += static_cast<double>(out[t]) * out[t];
    ref += static_cast<double>(b[t]) * b[t];
  }
  EXPECT_NEAR(10 * std::log10(mid / ref), 0.0, 1.0);
}

// After silence (a gated piece) the next piece fades in from zero, at offset 0.
TEST(Joiner, SilenceFadesIntoTheNextPiece) {
  qv_joiner joiner(512, 128, 64);
  const std::vector<float> silence(512 + 128 + 64, 0.0f);
  const std::vector<float> tone(512 + 128 + 64, 0.25f);
  std::vector<float> out(512);
  joiner.join(silence.data(), out.data());
  joiner.join(tone.data(), out.data());
  EXPECT_EQ(joiner.last_offset(), 0);
  EXPECT_LT(out[0], 0.01f);
  for (int t = 1; t < 128; ++t) EXPECT_GE(out[t], out[t - 1]) << t;
  EXPECT_FLOAT_EQ(out[200], 0.25f);
}

// The streaming resampler gives, for input pushed in pieces of any size, the whole signal's
// resampling bit for bit, and qv_resample's count once finished.
TEST(RateStream, PiecesOfAnySizeGiveTheWholeSignal) {
  for (const auto &[in_rate, out_rate] : std::vector<std::pair<int32_t, int32_t>>{
           {16000, 22050}, {22050, 16000}, {44100, 22050}, {48000, 22050}, {22050, 22050}}) {
    const std::vector<float> x = qvt::test_tone(30011, in_rate);
    float *whole = nullptr;
    int32_t n = 0;
    ASSERT_EQ(qv_resample(x.data(), 30011, in_rate, &whole, &n, out_rate), 0);
    qv_rate_stream stream(in_rate, out_rate);
    std::vector<float> out;
    std::mt19937 rng(3);
    for (size_t pos = 0; pos < x.size();) {
      const size_t take = std::min<size_t>(x.size() - pos, 1 + rng() % 3000);
      stream.push(x.data() + pos, take);
      stream.pull(out);
      pos += take;
      ASSERT_LE(stream.inputs_for(stream.produced()), stream.received());
    }
    stream.finish(out);
    ASSERT_EQ(out.size(), static_cast<size_t>(n)) << in_rate << "->" << out_rate;
    EXPECT_EQ(0, std::memcmp(out.data(), whole, out.size() * sizeof(float)))
        << in_rate << "->" << out_rate;
    std::free(whole);
  }
}

}  // namespace
