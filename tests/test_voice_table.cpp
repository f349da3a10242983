// A fourth stock voice added as one row of the table (voice_table_four.cpp) reaches everything a
// voice is: the catalogue and the init report, the embedding file or synthetic row, the file
// effect and the DSP effect.
#include <cmath>
#include <string>
#include <vector>

#include "engine_fixture.h"
#include "model_expectations.h"
#include "signal/pcm.h"

namespace {

class VoiceTable : public qvt::engine_test {
 protected:
  qvt::models_dir models;
};

TEST_F(VoiceTable, SyntheticSetHasTheFourthVoice) {
  const char *report = nullptr;
  ASSERT_EQ(ondrelix_init(models.str().c_str(), &report), 0);
  EXPECT_EQ(std::string(report).rfind("{\"voices\":[\"female\",\"deep\",\"robot\",\"whisper\"]", 0),
            0u)
      << report;
  EXPECT_EQ(qvt::voice_embedding("WHISPER")[0], static_cast<float>(std::sin(300 * 0.1)));
}

TEST_F(VoiceTable, EmbeddingFileOfTheFourthVoice) {
  qvt::write_embedding(models.file("whisper.bin"), std::vector<float>(256, 0.25f));
  const char *report = nullptr;
  ASSERT_EQ(ondrelix_init(models.str().c_str(), &report), 0);
  EXPECT_STREQ(report,
               "{\"voices\":[\"whisper\"],\"custom_available\":true,\"realtime\":true,"
               "\"engine\":\"openvoice_v2\",\"version\":\"1.0.0\"}");
  EXPECT_EQ(qvt::voice_embedding("female")[3], 0.25f);  // the only voice is the first
}

TEST_F(VoiceTable, FileEffectOfTheFourthVoice) {
  init(models.str());
  qvt::temp_dir work;
  qvt::write_wav_float(work.file("in.wav"), qvt::test_tone(4096), 22050);
  ASSERT_EQ(ondrelix_convert_file(work.file("in.wav").c_str(), work.file("out.wav").c_str(),
                                  "whisper", nullptr),
            0)
      << ondrelix_last_error();
  qv_wav out{};
  ASSERT_EQ(qv_wav_read(work.file("out.wav").c_str(), &out, nullptr, 0), 0);
  // The fixture converter's sample 0 is the target embedding's first value; the row's
  // modulation scales it by exactly 0.8.
  const float target = qvt::voice_embedding("whisper")[qvt::kOutTarget];
  EXPECT_EQ(out.samples[0], static_cast<float>(qv::pcm16_from_float(target * 0.8f)) / 32768.0f);
  qv_wav_free(&out);
}

TEST_F(VoiceTable, DspEffectOfTheFourthVoice) {
  init(models.str());
  std::vector<int16_t> in(320), expected(320);
  for (int i = 0; i < 320; ++i) in[i] = static_cast<int16_t>(i * 50 - 8000);
  qv_pitch_effect(in.data(), expected.data(), 320, 1.2f);
  ASSERT_EQ(ondrelix_rt_start("Whisper", "{\"mode\":\"dsp\"}"), 0);
  ASSERT_EQ(ondrelix_rt_write(in.data(), 320), 0);
  std::vector<int16_t> out;
  int16_t buf[320];
  for (int tries = 0; out.size() < 320 && tries < 250; ++tries) {
    int got = 0;
    ondrelix_rt_read(buf, 320, &got);
    out.insert(out.end(), buf, buf + got);
  }
  ondrelix_rt_stop(nullptr);
  EXPECT_EQ(out, expected);
}

}  // namespace
