// The conversion pipeline against the fixture models: what reaches the models, and what comes
// back.
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "model_expectations.h"

namespace {

class Pipeline : public qvt::engine_test {
 protected:
  // Poisoned out-parameters, so a test proves what the call wrote.
  float *out = reinterpret_cast<float *>(0x1);
  int32_t count = -7;
  void TearDown() override {
    if (out != reinterpret_cast<float *>(0x1)) std::free(out);
    engine_test::TearDown();
  }
  void expect_untouched() {
    EXPECT_EQ(out, reinterpret_cast<float *>(0x1));
    EXPECT_EQ(count, -7);
  }
};

TEST_F(Pipeline, FeedsTheModelsWhatTheySpecify) {
  qvt::models_dir dir;
  init(dir.str());
  const std::vector<float> x = qvt::test_tone(5000);
  std::vector<float> target(256);
  for (int k = 0; k < 256; ++k) target[k] = 0.001f * static_cast<float>(k) - 0.1f;
  ASSERT_EQ(qvt::run_inference(x.data(), 5000, target.data(), &out, &count), 0)
      << ondrelix_last_error();
  const int frames = 5000 / 256;
  ASSERT_EQ(count, 256 * frames);  // the count comes from the model's output shape
  for (int k = 0; k < 256; ++k) ASSERT_EQ(out[qvt::kOutTarget + k], target[k]) << k;
  const std::vector<float> source = qvt::expected_speaker(x.data(), 5000);
  for (int k = 0; k < 256; ++k)
    ASSERT_NEAR(out[qvt::kOutSource + k], source[k], 1e-4f * (1 + source[k])) << k;
  EXPECT_EQ(out[qvt::kOutTau], 0.3f);
  EXPECT_EQ(out[qvt::kOutLengths], static_cast<float>(frames));
  EXPECT_EQ(out[qvt::kOutNoiseSum], 0.0f);
  EXPECT_EQ(out[qvt::kOutNoiseMax], 0.0f);
  EXPECT_EQ(out[qvt::kOutFrames], static_cast<float>(frames));
  EXPECT_EQ(out[768 + 5], target[5]);
}

TEST_F(Pipeline, MinimumLengthIs1024Samples) {
  qvt::models_dir dir;
  init(dir.str());
  const std::vector<float> x = qvt::test_tone(1024);
  const float *target = qvt::voice_embedding(nullptr);
  for (int32_t n : {1023, 0, -5}) {
    EXPECT_EQ(qvt::run_inference(x.data(), n, target, &out, &count), -1) << n;
    EXPECT_STREQ(ondrelix_last_error(), "Invalid inference parameters");
    expect_untouched();
  }
  EXPECT_EQ(qvt::run_inference(nullptr, 1024, target, &out, &count), -1);
  ASSERT_EQ(qvt::run_inference(x.data(), 1024, target, &out, &count), 0);
  EXPECT_EQ(count, 4 * 256);
}

TEST_F(Pipeline, RefusesWithoutAnEngine) {
  const std::vector<float> x = qvt::test_tone(2048);
  const float target[256] = {};
  EXPECT_EQ(qvt::run_inference(x.data(), 2048, target, &out, &count), -1);
  EXPECT_STREQ(ondrelix_last_error(), "Invalid inference parameters");
  expect_untouched();
}

struct model_failure {
  const char *name;
  const char *variant;
  std::string message;
  bool prefix;
};

// A short, stable name in test listings (gtest would print the bytes, addresses included).
void PrintTo(const model_failure &c, std::ostream *os) { *os << c.name; }

class PipelineModelFailure : public Pipeline,
                             public ::testing::WithParamInterface<model_failure> {};

TEST_P(PipelineModelFailure, ReportsAndLeavesOutputsAlone) {
  qvt::models_dir dir(GetParam().variant);
  init(dir.str());
  const std::vector<float> x = qvt::test_tone(4096);
  EXPECT_EQ(qvt::run_inference(x.data(), 4096, qvt::voice_embedding("deep"), &out, &count), -1);
  qvt::expect_last_error(GetParam().message, GetParam().prefix);
  const std::string err = ondrelix_last_error();
  expect_untouched();
  // The engine stays usable: the same run fails the same way, and a DSP stream still works.
  EXPECT_EQ(qvt::engine().initialized(), 1);
  EXPECT_EQ(qvt::run_inference(x.data(), 4096, qvt::voice_embedding("deep"), &out, &count), -1);
  EXPECT_EQ(std::string(ondrelix_last_error()), err);
  ASSERT_EQ(ondrelix_rt_start("robot", "{\"mode\":\"dsp\"}"), 0);
  ondrelix_rt_stop(nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PipelineModelFailure,
    ::testing::Values(
        model_failure{"converter_rejects_inputs", "reject_converter", "Run Converter: ", true},
        model_failure{"speaker_run_fails", "failing_speaker", "Run SpeakerEncoder: ", true},
        // Reading 256 values out of a 100-value output would run past the runtime's buffer.
        model_failure{"speaker_output_too_short", "short_speaker",
                      "Speaker encoder output holds 100 values, expected at least 256", false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Pipeline, EmptyAudioIsAnEmptySuccess) {
  qvt::models_dir dir("empty_audio");
  init(dir.str());
  const std::vector<float> x = qvt::test_tone(4096);
  ASSERT_EQ(qvt::run_inference(x.data(), 4096, qvt::voice_embedding(nullptr), &out, &count), 0);
  EXPECT_EQ(count, 0);
  EXPECT_NE(out, nullptr);  // a buffer the caller frees all the same
}

}  // namespace
