// Files longer than a minute: converted in pieces, read and written piece by piece, and equal
// to the whole-file conversion wherever the fixture models' output does not depend on where a
// piece starts (everywhere but their first 768 samples, which say what reached them).
#include <fstream>
#include <string>
#include <vector>

#include "audio/wav.h"
#include "conversion/convert.h"
#include "engine_fixture.h"
#include "signal/effects.h"
#include "signal/pcm.h"
#include "signal/resample.h"

namespace {

class ConvertLong : public qvt::started_engine_test {
 protected:
  // The whole-file conversion of a 22050 Hz signal, as the file writer would store it.
  static std::vector<float> whole(const std::vector<float> &x, const char *voice) {
    float *out = nullptr;
    int32_t n = 0;
    EXPECT_EQ(qvt::run_inference(x.data(), static_cast<int32_t>(x.size()),
                                 qvt::voice_embedding(voice), &out, &n),
              0);
    std::vector<float> y(out, out + n);
    std::free(out);
    qv_apply_file_effect(qvt::engine().voices().resolve(voice).file_effect, y.data(), n);
    for (float &v : y) v = static_cast<float>(qv::pcm16_from_float(v)) / 32768.0f;
    return y;
  }
  static std::vector<float> read(const std::string &path) {
    qv_wav rec{};
    EXPECT_EQ(qv_wav_read(path.c_str(), &rec, nullptr, 0), 0);
    std::vector<float> y(rec.samples, rec.samples + rec.frames);
    qv_wav_free(&rec);
    return y;
  }
};

TEST_F(ConvertLong, OnlySignalsOverAMinuteGoInPieces) {
  qvt::write_wav_float(work.file("60s.wav"), std::vector<float>(60 * 22050, 0.1f), 22050);
  qvt::write_wav_float(work.file("61s.wav"), std::vector<float>(60 * 22050 + 1, 0.1f), 22050);
  qvt::write_wav_float(work.file("61s_16k.wav"), std::vector<float>(61 * 16000, 0.1f), 16000);
  EXPECT_FALSE(wants_pieces(work.file("60s.wav").c_str()));
  EXPECT_TRUE(wants_pieces(work.file("61s.wav").c_str()));
  EXPECT_TRUE(wants_pieces(work.file("61s_16k.wav").c_str()));
  EXPECT_FALSE(wants_pieces(work.file("missing.wav").c_str()));
}

struct long_case {
  const char *voice;
  uint32_t rate;
  int seconds;
};

void PrintTo(const long_case &c, std::ostream *os) {
  *os << (c.voice ? c.voice : "null") << "_" << c.rate << "_" << c.seconds << "s";
}

class ConvertLongCases : public ConvertLong, public ::testing::WithParamInterface<long_case> {};

// Across every join (15 s apart) the output is the whole-file conversion's, robot modulation
// included; the length is the whole-file path's too.
TEST_P(ConvertLongCases, MatchesTheWholeFileConversion) {
  const long_case c = GetParam();
  const std::vector<float> x = qvt::test_tone(static_cast<size_t>(c.rate) * c.seconds, c.rate);
  qvt::write_wav_float(work.file("in.wav"), x, c.rate);
  const char *report = nullptr;
  ASSERT_EQ(ondrelix_convert_file(work.file("in.wav").c_str(), work.file("out.wav").c_str(),
                                  c.voice, &report),
            0)
      << ondrelix_last_error();
  std::vector<float> at_model = x;
  if (c.rate != 22050) {
    float *r = nullptr;
    int32_t n = 0;
    ASSERT_EQ(qv_resample(x.data(), static_cast<int32_t>(x.size()), c.rate, &r, &n, 22050), 0);
    at_model.assign(r, r + n);
    std::free(r);
  }
  const std::vector<float> expected = whole(at_model, c.voice);
  const std::vector<float> got = read(work.file("out.wav"));
  ASSERT_EQ(got.size(), expected.size());
  for (size_t i = 768; i < got.size(); ++i)
    ASSERT_NEAR(got[i], expected[i], 1.5f / 32768.0f) << i;  // one step of 16-bit rounding
  qvt::json r(report);
  EXPECT_DOUBLE_EQ(r.num("duration_s"), static_cast<double>(got.size()) / 22050.0);
  EXPECT_FALSE(std::ifstream(work.file("out.wav.part")).good());
}

INSTANTIATE_TEST_SUITE_P(Table, ConvertLongCases,
                         ::testing::Values(long_case{"deep", 22050, 100},
                                           long_case{"robot", 22050, 95},
                                           long_case{nullptr, 44100, 61}));

// A failure in the middle leaves the output file as it was: pieces go to a file beside it that
// replaces it only when complete.
TEST_F(ConvertLong, FailuresLeaveTheOutputAsItWas) {
  qvt::write_wav_float(work.file("in.wav"), qvt::test_tone(22050 * 61), 22050);
  qvt::write_file(work.file("out.wav"), {'k', 'e', 'e', 'p'});
  qvt::models_dir reject("reject_converter");
  init(reject.str());
  EXPECT_EQ(ondrelix_convert_file(work.file("in.wav").c_str(), work.file("out.wav").c_str(), "deep",
                                  nullptr),
            -1);
  qvt::expect_last_error("Run Converter: ", true);
  EXPECT_EQ(qvt::read_file(work.file("out.wav")), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
  EXPECT_FALSE(std::ifstream(work.file("out.wav.part")).good());

  init(models.str());
  const std::string nowhere = work.file("no/such/dir/out.wav");
  EXPECT_EQ(ondrelix_convert_file(work.file("in.wav").c_str(), nowhere.c_str(), "deep", nullptr),
            -1);
  qvt::expect_last_error("WAV write failed: Failed to create output WAV file: " + nowhere, false);
}

}  // namespace
