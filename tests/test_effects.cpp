// The voices' effects as pure signal functions, and the one float-to-PCM conversion.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "signal/effects.h"
#include "signal/pcm.h"

namespace {

TEST(Pcm, FloatToPcm16ClipsTruncatesAndMapsNanToZero) {
  const struct {
    float in;
    int16_t out;
  } cases[] = {{0.0f, 0},         {1.5f, 32767},
               {1.0f, 32767},     {-1.5f, -32767},
               {-1.0f, -32767},   {-0.5f, -16383},
               {0.99999f, 32766}, {std::numeric_limits<float>::quiet_NaN(), 0},
               {INFINITY, 32767}, {-INFINITY, -32767}};
  for (const auto &c : cases) EXPECT_EQ(qv::pcm16_from_float(c.in), c.out) << c.in;
  EXPECT_EQ(qv::float_from_pcm16(-32768), -1.0f);
  EXPECT_EQ(qv::float_from_pcm16(16384), 0.5f);
}

// From phase 0 the gain is 0.6 on the first sample; -32768 in never gives -32768 out; one
// oscillator cycle spans 100 samples.
TEST(Effects, ModulationFromPhaseZero) {
  std::vector<int16_t> in(100, 16384), out(100);
  in[1] = -32768;
  float phase = 0.0f;
  qv_modulation_effect(in.data(), out.data(), 100, phase);
  EXPECT_EQ(out[0], static_cast<int16_t>(0.6f * 0.5f * 32767.0f));
  EXPECT_GT(out[1], -32768);
  EXPECT_NEAR(phase, 0.0f, 1e-4f);
}

TEST(Effects, PitchFactorOneReproducesTheBlock) {
  std::vector<int16_t> in(320), out(320);
  for (int i = 0; i < 320; ++i) in[i] = static_cast<int16_t>(i * 97 - 15000);
  qv_pitch_effect(in.data(), out.data(), 320, 1.0f);
  EXPECT_EQ(out, in);
}

TEST(Effects, FileModulationScalesSampleZeroByExactlyFourFifths) {
  std::vector<float> x(22050, 0.5f);
  qv_file_modulation(x.data(), static_cast<int32_t>(x.size()));
  EXPECT_EQ(x[0], 0.5f * 0.8f);
  for (float v : x) {
    ASSERT_GE(v, 0.5f * 0.6f - 1e-6f);
    ASSERT_LE(v, 0.5f * 1.0f + 1e-6f);
  }
  std::vector<float> untouched(16, 0.25f);
  qv_apply_file_effect(qv_file_effect::none, untouched.data(), 16);
  EXPECT_EQ(untouched, std::vector<float>(16, 0.25f));
}

}  // namespace
