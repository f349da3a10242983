// The bundled default models through the library: deterministic, bounded for any embedding, and
// the stock voices move the pitch the way they say.
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

}  // namespace
