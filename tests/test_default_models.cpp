// The bundled default models through the library: deterministic, bounded for any embedding, and
// the stock voices move the pitch the way they say.
#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "engine_fixture.h"

namespace {

class DefaultModels : public qvt::engine_test {
 protected:
  qvt::temp_dir dir;
  void SetUp() override {
    engine_test::SetUp();
    for (const char *f : {"openvoice_converter.onnx", "openvoice_speaker.onnx"})
      std::filesystem::create_symlink(std::string(ONDRELIX_MODELS_DIR) + "/" + f, dir.file(f));
  }
  std::vector<float> convert(const std::vector<float> &x, const float *target) {
    float *out = nullptr;
    int32_t n = 0;
    EXPECT_EQ(run_openvoice_inference(x.data(), static_cast<int32_t>(x.size()), target, &out, &n),
              0)
        << ondrelix_last_error();
    std::vector<float> y(out, out + n);
    std::free(out);
    return y;
  }
};

TEST_F(DefaultModels, DeterministicAndSizedByTheSpectrogram) {
  init(dir.str());
  const std::vector<float> x = qvt::test_tone(22050);
  const std::vector<float> a = convert(x, get_voice_embedding("female"));
  const std::vector<float> b = convert(x, get_voice_embedding("female"));
  EXPECT_EQ(a.size(), 256u * (22050 / 256));
  EXPECT_EQ(a, b);
}

// Whatever finite values an embedding holds, the output stays finite and within full scale.
TEST_F(DefaultModels, AnyFiniteEmbeddingGivesBoundedOutput) {
  init(dir.str());
  const std::vector<float> x = qvt::test_tone(8192);
  std::mt19937 rng(7);
  std::vector<std::vector<float>> embeddings = {std::vector<float>(256, 1e30f),
                                                std::vector<float>(256, -1e30f),
                                                std::vector<float>(256, 0.0f)};
  for (int r = 0; r < 5; ++r) {
    std::vector<float> e(256);
    for (float &v : e) v = std::uniform_real_distribution<float>(-50.0f, 50.0f)(rng);
    embeddings.push_back(e);
  }
  for (const auto &e : embeddings) {
    const std::vector<float> y = convert(x, e.data());
    ASSERT_FALSE(y.empty());
    for (float v : y) ASSERT_TRUE(std::isfinite(v) && std::fabs(v) <= 1.0f);
  }
}

// The stock voice files of the build are what the catalogue loads, in stock order.
TEST_F(DefaultModels, StockVoicesLoad) {
  init(ONDRELIX_MODELS_DIR);
  ASSERT_EQ(g_voice_count, 3);
  EXPECT_NEAR(100.0f * std::exp(g_voices[0].embedding[0]), 210.0f, 0.5f);
  EXPECT_NEAR(100.0f * std::exp(g_voices[1].embedding[0]), 95.0f, 0.5f);
  EXPECT_EQ(g_voices[2].embedding[1], 1.0f);
}

// Hard inputs with the bundled models and voices: every conversion succeeds with finite output
// within full scale. Where there is no voice (silence, white noise) the encoder finds none (its
// pitch is the fallback, ln 1.5, i.e. 150 Hz), and no conversion makes one: the output of each
// voice holds no voice either.
struct hard_input {
  const char *name;
  std::vector<float> (*make)();
  bool voiceless;
};

void PrintTo(const hard_input &c, std::ostream *os) { *os << c.name; }

std::vector<float> silence() { return std::vector<float>(2 * 22050, 0.0f); }
std::vector<float> pure_tone() {
  std::vector<float> x(2 * 22050);
  for (size_t i = 0; i < x.size(); ++i) x[i] = 0.5f * std::sin(6.283185f * 440.0f * i / 22050.0f);
  return x;
}
std::vector<float> white_noise() {
  std::mt19937 rng(5);
  std::normal_distribution<float> g(0.0f, 0.3f);
  std::vector<float> x(22050);
  for (float &v : x) v = std::max(-1.0f, std::min(1.0f, g(rng)));
  return x;
}
std::vector<float> corpus_at_22050(const char *name, float gain) {
  model_signal s;
  if (read_model_signal(qvt::corpus_file(name).c_str(), s, nullptr, 0) != model_signal_status::ok)
    return {};
  std::vector<float> x(s.samples, s.samples + s.count);
  for (float &v : x) v = std::max(-1.0f, std::min(1.0f, v * gain));
  return x;
}
std::vector<float> clipped_speech() { return corpus_at_22050("spk2_a.wav", 30.0f); }
std::vector<float> noisy_recording() { return corpus_at_22050("noisy_a.wav", 1.0f); }

class HardInputs : public DefaultModels, public ::testing::WithParamInterface<hard_input> {
 protected:
  float encoder_pitch(const std::vector<float> &x) {
    float e[qv::kEmbeddingSize];
    EXPECT_EQ(measure_source_embedding(x.data(), static_cast<int32_t>(x.size()), e), 0);
    return e[0];
  }
};

TEST_P(HardInputs, ConvertBoundedAndMakeNoVoice) {
  const hard_input &c = GetParam();
  const std::vector<float> x = c.make();
  if (x.empty()) GTEST_SKIP() << "speech corpus not found at " ONDRELIX_CORPUS_DIR;
  init(ONDRELIX_MODELS_DIR);
  const float no_voice = std::log(1.5f);
  if (c.voiceless) EXPECT_FLOAT_EQ(encoder_pitch(x), no_voice);
  for (const char *voice : {"female", "deep", "robot"}) {
    const std::vector<float> y = convert(x, get_voice_embedding(voice));
    ASSERT_FALSE(y.empty()) << voice;
    for (float v : y) ASSERT_TRUE(std::isfinite(v) && std::fabs(v) <= 1.0f) << voice;
    if (c.voiceless) EXPECT_FLOAT_EQ(encoder_pitch(y), no_voice) << voice;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, HardInputs,
                         ::testing::Values(hard_input{"silence", silence, true},
                                           hard_input{"white_noise", white_noise, true},
                                           hard_input{"pure_tone", pure_tone, false},
                                           hard_input{"clipped_speech", clipped_speech, false},
                                           hard_input{"noisy_recording", noisy_recording, false}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
