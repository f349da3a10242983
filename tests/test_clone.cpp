// Cloning the custom voice, against the fixture models.
#include <string>
#include <vector>

#include "audio/wav.h"
#include "engine_fixture.h"
#include "model_expectations.h"
#include "signal/resample.h"

namespace {

class Clone : public qvt::started_engine_test {};

TEST_F(Clone, CorpusClipBecomesTheCustomVoice) {
  QVT_REQUIRE_CORPUS();
  const std::string ref = qvt::corpus_file("spk1_a.wav");
  const char *report = nullptr;
  ASSERT_EQ(ondrelix_load_voice(ref.c_str(), &report), 0) << ondrelix_last_error();
  qvt::json r(report);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.keys(), "status,voice,reference_s,reference_rate,cloned");
  EXPECT_EQ(r.str("status"), "ok");
  EXPECT_EQ(r.str("voice"), "custom");
  EXPECT_DOUBLE_EQ(r.num("reference_rate"), 16000.0);
  EXPECT_TRUE(yyjson_is_real(r.get("reference_rate")));
  EXPECT_TRUE(yyjson_is_true(r.get("cloned")));
  EXPECT_TRUE(qvt::engine().voices().custom_loaded());

  // The custom voice is the speaker encoder's view of the clip at 22050 Hz.
  qv_wav rec{};
  ASSERT_EQ(qv_wav_read(ref.c_str(), &rec, nullptr, 0), 0);
  float *up = nullptr;
  int32_t n = 0;
  ASSERT_EQ(qv_resample(rec.samples, rec.frames, rec.sample_rate, &up, &n, 22050), 0);
  EXPECT_DOUBLE_EQ(r.num("reference_s"), n / 22050.0);
  const std::vector<float> expected = qvt::expected_speaker(up, n);
  for (int k = 0; k < 256; ++k)
    ASSERT_NEAR(qvt::engine().voices().custom_embedding()[k], expected[k],
                1e-4f * (1 + expected[k]))
        << k;
  std::free(up);
  qv_wav_free(&rec);

  // Conversions to "custom", in any case, now use it.
  const std::string other = qvt::corpus_file("spk2_b.wav");
  EXPECT_EQ(qvt::voice_embedding("CUSTOM"), qvt::engine().voices().custom_embedding());
  ASSERT_EQ(ondrelix_convert_file(other.c_str(), work.file("c.wav").c_str(), "Custom", nullptr), 0);
}

TEST_F(Clone, OnlyTheFirstThirtySecondsCount) {
  const std::string ref = work.file("long.wav");
  qvt::write_wav_float(ref, qvt::test_tone(45 * 22050), 22050);
  const char *report = nullptr;
  ASSERT_EQ(ondrelix_load_voice(ref.c_str(), &report), 0) << ondrelix_last_error();
  qvt::json r(report);
  EXPECT_DOUBLE_EQ(r.num("reference_s"), 30.0);
  EXPECT_DOUBLE_EQ(r.num("reference_rate"), 22050.0);
  const std::vector<float> tone = qvt::test_tone(661500);
  const std::vector<float> expected = qvt::expected_speaker(tone.data(), 661500);
  EXPECT_NEAR(qvt::engine().voices().custom_embedding()[10], expected[10],
              1e-3f * (1 + expected[10]));
}

TEST_F(Clone, ShortestClipAndLengthAfterResampling) {
  struct {
    uint32_t rate;
    size_t n;
    int rc;
    int used;  // samples at 22050 Hz
  } cases[] = {
      {22050, 1023, -1, 0}, {22050, 1024, 0, 1024}, {16000, 743, -1, 0}, {16000, 744, 0, 1025}};
  for (const auto &c : cases) {
    const std::string ref = work.file("ref.wav");
    qvt::write_wav_float(ref, qvt::test_tone(c.n, c.rate), c.rate);
    const char *report = nullptr;
    EXPECT_EQ(ondrelix_load_voice(ref.c_str(), &report), c.rc) << c.rate << "/" << c.n;
    if (c.rc == 0) {
      qvt::json r(report);
      EXPECT_DOUBLE_EQ(r.num("reference_s"), c.used / 22050.0);
    } else {
      EXPECT_STREQ(ondrelix_last_error(),
                   "Reference clip too short for embedding (need at least 47 ms)");
    }
  }
}

TEST_F(Clone, FailuresKeepTheEarlierVoice) {
  const std::string good = work.file("good.wav");
  qvt::write_wav_float(good, qvt::test_tone(4096), 22050);
  ASSERT_EQ(ondrelix_load_voice(good.c_str(), nullptr), 0);
  const std::vector<float> before(qvt::engine().voices().custom_embedding(),
                                  qvt::engine().voices().custom_embedding() + 256);
  const std::string rate0 = work.file("rate0.wav");
  qvt::write_wav16(rate0, std::vector<int16_t>(4000, 100), 0);
  struct {
    std::string path;
    const char *variant;
    std::string message;
    bool prefix;
  } cases[] = {
      {"", nullptr, "wav_path is NULL or empty", false},
      {work.file("missing.wav"), nullptr,
       "Failed to read reference clip: Failed to open input file: " + work.file("missing.wav"),
       false},
      {rate0, nullptr, "Failed to resample reference clip to 22050 Hz", false},
      {good, "failing_speaker", "Run SpeakerEncoder (reference clip): ", true},
      {good, "short_speaker", "Speaker encoder output holds 100 values, expected at least 256",
       false},
  };
  for (const auto &c : cases) {
    std::unique_ptr<qvt::models_dir> other;
    if (c.variant) {
      other = std::make_unique<qvt::models_dir>(c.variant);
      ASSERT_EQ(ondrelix_init(other->str().c_str(), nullptr), 0);
      // A clone made before, which the failure must keep.
      qvt::engine().voices().set_custom(before.data());
    }
    std::snprintf(report_buffer(), qv::kReportSize, "previous");
    const char *report = reinterpret_cast<const char *>(0x1);
    EXPECT_EQ(ondrelix_load_voice(c.path.c_str(), &report), -1);
    qvt::expect_last_error(c.message, c.prefix);
    EXPECT_EQ(report, reinterpret_cast<const char *>(0x1));
    EXPECT_STREQ(report_text(), "previous");
    EXPECT_TRUE(qvt::engine().voices().custom_loaded());
    EXPECT_EQ(0, std::memcmp(before.data(), qvt::engine().voices().custom_embedding(),
                             qv::kEmbeddingSize * sizeof(float)));
  }
  EXPECT_EQ(ondrelix_load_voice(nullptr, nullptr), -1);
  EXPECT_STREQ(ondrelix_last_error(), "wav_path is NULL or empty");
}

TEST_F(Clone, NotInitialised) {
  ondrelix_cleanup();
  EXPECT_EQ(ondrelix_load_voice("/nonexistent.wav", nullptr), -1);
  EXPECT_STREQ(ondrelix_last_error(), "ondrelix is not initialized");
}

TEST_F(Clone, SecondCloneReplacesTheFirst) {
  const std::string a = work.file("a.wav");
  const std::string b = work.file("b.wav");
  qvt::write_wav_float(a, qvt::test_tone(4096), 22050);
  std::vector<float> quiet = qvt::test_tone(4096);
  for (float &v : quiet) v *= 0.1f;
  qvt::write_wav_float(b, quiet, 22050);
  ASSERT_EQ(ondrelix_load_voice(a.c_str(), nullptr), 0);
  const float first = qvt::engine().voices().custom_embedding()[20];
  ASSERT_EQ(ondrelix_load_voice(b.c_str(), nullptr), 0);
  EXPECT_LT(qvt::engine().voices().custom_embedding()[20], first * 0.5f);
}

}  // namespace
