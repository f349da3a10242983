// File conversion through the public function, against the fixture models.
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "audio/wav.h"
#include "engine_fixture.h"
#include "model_expectations.h"

namespace {

struct wav_data {
  qv_wav rec{};
  ~wav_data() { qv_wav_free(&rec); }
};

class Convert : public qvt::engine_test {
 protected:
  qvt::models_dir models;
  qvt::temp_dir work;
  std::vector<float> robot_values = std::vector<float>(256, 0.25f);
  void SetUp() override {
    engine_test::SetUp();
    robot_values[0] = 0.5f;
    qvt::write_embedding(models.file("female.bin"), std::vector<float>(256, 0.125f));
    qvt::write_embedding(models.file("deep.bin"), std::vector<float>(256, -0.375f));
    qvt::write_embedding(models.file("robot.bin"), robot_values);
    init(models.str());
  }
  void read_output(const std::string &path, wav_data &out) {
    ASSERT_EQ(qv_wav_read(path.c_str(), &out.rec, nullptr, 0), 0);
  }
};

TEST_F(Convert, CorpusSpeechGivesA22050HzFileAndAReport) {
  QVT_REQUIRE_CORPUS();
  const std::string in = qvt::corpus_file("spk2_a.wav");
  const std::string out_path = work.file("out.wav");
  const char *report = nullptr;
  ASSERT_EQ(ondrelix_convert_file(in.c_str(), out_path.c_str(), "deep", &report), 0)
      << ondrelix_last_error();
  ASSERT_EQ(report, report_text());
  qvt::json r(report);
  ASSERT_TRUE(r.ok()) << report;
  EXPECT_EQ(r.keys(), "status,voice,in_path,out_path,duration_s,elapsed_ms,rtf");
  EXPECT_EQ(r.str("status"), "ok");
  EXPECT_EQ(r.str("voice"), "deep");
  EXPECT_EQ(r.str("in_path"), in);
  EXPECT_EQ(r.str("out_path"), out_path);
  wav_data out;
  read_output(out_path, out);
  EXPECT_EQ(out.rec.sample_rate, 22050);
  EXPECT_DOUBLE_EQ(r.num("duration_s"), out.rec.frames / 22050.0);
  EXPECT_GT(r.num("elapsed_ms"), 0.0);
  EXPECT_DOUBLE_EQ(r.num("rtf"), r.num("elapsed_ms") / 1000.0 / r.num("duration_s"));
  // The deep embedding reached the converter: its first output samples are -0.375.
  EXPECT_EQ(out.rec.samples[0],
            static_cast<float>(static_cast<int16_t>(-0.375f * 32767.0f)) / 32768.0f);
  // Reals always carry a fraction or an exponent.
  EXPECT_NE(std::string(report).find("\"duration_s\":"), std::string::npos);
  EXPECT_TRUE(yyjson_is_real(r.get("duration_s")));
  EXPECT_TRUE(yyjson_is_real(r.get("elapsed_ms")));
}

// The output length is 256 x (frames of the 22050 Hz signal): 22050 Hz input is used as it is,
// other rates are resampled first.
TEST_F(Convert, InputRateDecidesResampling) {
  struct {
    uint32_t rate;
    int expected_frames;
  } cases[] = {{22050, 5000 / 256}, {16000, (5000 * 22050 / 16000) / 256}, {44100, 2500 / 256}};
  for (const auto &c : cases) {
    const std::string in = work.file("in" + std::to_string(c.rate) + ".wav");
    qvt::write_wav_float(in, qvt::test_tone(5000, c.rate), c.rate);
    const std::string out_path = work.file("out.wav");
    ASSERT_EQ(ondrelix_convert_file(in.c_str(), out_path.c_str(), "female", nullptr), 0)
        << ondrelix_last_error();
    wav_data out;
    read_output(out_path, out);
    EXPECT_EQ(out.rec.frames, 256 * c.expected_frames) << c.rate;
    EXPECT_EQ(out.rec.sample_rate, 22050);
  }
}

TEST_F(Convert, VoiceNamesAndTheReportedVoice) {
  const std::string in = work.file("in.wav");
  qvt::write_wav_float(in, qvt::test_tone(4096), 22050);
  struct {
    const char *voice;
    const char *reported;
    float first;
  } cases[] = {{nullptr, "default", 0.125f},
               {"", "", 0.125f},
               {"nobody", "nobody", 0.125f},
               {"DEEP", "DEEP", -0.375f},
               {"custom", "custom", 0.125f}};
  for (const auto &c : cases) {
    const char *report = nullptr;
    const std::string out_path = work.file("v.wav");
    ASSERT_EQ(ondrelix_convert_file(in.c_str(), out_path.c_str(), c.voice, &report), 0);
    qvt::json r(report);
    EXPECT_EQ(r.str("voice"), c.reported);
    wav_data out;
    read_output(out_path, out);
    EXPECT_EQ(out.rec.samples[0],
              static_cast<float>(static_cast<int16_t>(c.first * 32767.0f)) / 32768.0f)
        << c.reported;
  }
}

// "robot" in any case adds the 180 Hz modulation; its first sample is scaled by exactly 0.8.
TEST_F(Convert, RobotModulation) {
  const std::string in = work.file("in.wav");
  qvt::write_wav_float(in, qvt::test_tone(4096), 22050);
  for (const char *voice : {"robot", "RoBoT"}) {
    const std::string out_path = work.file("robot.wav");
    ASSERT_EQ(ondrelix_convert_file(in.c_str(), out_path.c_str(), voice, nullptr), 0);
    wav_data out;
    read_output(out_path, out);
    EXPECT_EQ(out.rec.samples[0],
              static_cast<float>(static_cast<int16_t>(0.5f * 0.8f * 32767.0f)) / 32768.0f);
    const float gain1 = std::sin(1.0f * 1130.9734f / 22050.0f) * 0.2f + 0.8f;
    EXPECT_EQ(out.rec.samples[1],
              static_cast<float>(static_cast<int16_t>(0.25f * gain1 * 32767.0f)) / 32768.0f);
  }
}

TEST_F(Convert, ShortestConvertibleInput) {
  const std::string out_path = work.file("o.wav");
  for (int n : {1023, 1024}) {
    const std::string in = work.file("n" + std::to_string(n) + ".wav");
    qvt::write_wav_float(in, qvt::test_tone(static_cast<size_t>(n)), 22050);
    const int rc = ondrelix_convert_file(in.c_str(), out_path.c_str(), nullptr, nullptr);
    if (n == 1023) {
      EXPECT_EQ(rc, -1);
      EXPECT_STREQ(ondrelix_last_error(), "Invalid inference parameters");
    } else {
      EXPECT_EQ(rc, 0) << ondrelix_last_error();
    }
  }
}

struct failure_case {
  const char *name;
  std::function<std::string(const qvt::temp_dir &)> make_input;  // returns the input path
  std::string out_name;
  std::string message;  // "{in}" and "{out}" stand for the paths
};

// A short, stable name in test listings (gtest would print the bytes, addresses included).
void PrintTo(const failure_case &c, std::ostream *os) { *os << c.name; }

std::string replace_all(std::string s, const std::string &from, const std::string &to) {
  for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
    s.replace(p, from.size(), to);
  return s;
}

class ConvertFailure : public Convert, public ::testing::WithParamInterface<failure_case> {};

TEST_P(ConvertFailure, LeavesReportAndOutPointerAlone) {
  const std::string in = GetParam().make_input(work);
  const std::string out_path =
      GetParam().out_name.empty() ? work.file("out.wav") : GetParam().out_name;
  std::snprintf(report_buffer(), qv::kReportSize, "previous");
  const char *report = reinterpret_cast<const char *>(0x1);
  EXPECT_EQ(ondrelix_convert_file(in.c_str(), out_path.c_str(), "deep", &report), -1);
  EXPECT_EQ(ondrelix_last_error(),
            replace_all(replace_all(GetParam().message, "{in}", in), "{out}", out_path));
  EXPECT_EQ(report, reinterpret_cast<const char *>(0x1));
  EXPECT_STREQ(report_text(), "previous");
}

std::string wav_with(const qvt::temp_dir &d, const char *name, uint32_t rate, size_t n) {
  const std::string p = d.file(name);
  qvt::write_wav16(p, std::vector<int16_t>(n, 1000), rate);
  return p;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConvertFailure,
    ::testing::Values(
        failure_case{"missing_input", [](const qvt::temp_dir &d) { return d.file("missing.wav"); },
                     "", "WAV read failed: Failed to open input file: {in}"},
        failure_case{"not_a_wav",
                     [](const qvt::temp_dir &d) {
                       qvt::write_file(d.file("x.wav"), std::vector<uint8_t>(64, 'x'));
                       return d.file("x.wav");
                     },
                     "", "WAV read failed: Not a valid RIFF/WAVE file"},
        failure_case{"rate_zero",
                     [](const qvt::temp_dir &d) { return wav_with(d, "r0.wav", 0, 4000); }, "",
                     "Resampling to 22050 Hz failed"},
        failure_case{"zero_frames_other_rate",
                     [](const qvt::temp_dir &d) {
                       auto bytes = qvt::wav_file(1, 2, 16000, 16, {1, 2, 3, 4});
                       bytes.resize(bytes.size() - 4);  // data declared, none present
                       qvt::write_file(d.file("z.wav"), bytes);
                       return d.file("z.wav");
                     },
                     "", "Resampling to 22050 Hz failed"},
        failure_case{"too_short",
                     [](const qvt::temp_dir &d) { return wav_with(d, "s.wav", 22050, 1000); }, "",
                     "Invalid inference parameters"},
        failure_case{"unwritable_output",
                     [](const qvt::temp_dir &d) { return wav_with(d, "ok.wav", 22050, 3000); },
                     "/nonexistent-dir/out.wav",
                     "WAV write failed: Failed to create output WAV file: {out}"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Convert, NotInitialisedAndNullPaths) {
  EXPECT_EQ(ondrelix_convert_file(nullptr, "x.wav", nullptr, nullptr), -1);
  EXPECT_STREQ(ondrelix_last_error(), "Input or output file path is NULL");
  EXPECT_EQ(ondrelix_convert_file("x.wav", nullptr, nullptr, nullptr), -1);
  EXPECT_STREQ(ondrelix_last_error(), "Input or output file path is NULL");
  ondrelix_cleanup();
  EXPECT_EQ(ondrelix_convert_file("x.wav", "y.wav", nullptr, nullptr), -1);
  EXPECT_STREQ(ondrelix_last_error(), "ondrelix is not initialized");
}

TEST_F(Convert, EmptyModelOutputIsRefusedByTheWriter) {
  qvt::models_dir empty("empty_audio");
  init(empty.str());
  const std::string in = wav_with(work, "in.wav", 22050, 3000);
  EXPECT_EQ(ondrelix_convert_file(in.c_str(), work.file("o.wav").c_str(), nullptr, nullptr), -1);
  EXPECT_STREQ(ondrelix_last_error(), "WAV write failed: Invalid WAV write arguments");
}

// A path that is not valid UTF-8 (any bytes are legal in a Linux file name) still gets a report
// that describes this conversion, not an older one.
TEST_F(Convert, ReportDescribesThisOperationForNonUtf8Paths) {
#if defined(_WIN32)
  GTEST_SKIP() << "Windows file names are UTF-16: a name that is not UTF-8 cannot be made";
#endif
  const std::string in = wav_with(work, "in.wav", 22050, 3000);
  const std::string out_path = work.file("caf\xe9.wav");
  std::snprintf(report_buffer(), qv::kReportSize, "previous");
  const char *report = nullptr;
  ASSERT_EQ(ondrelix_convert_file(in.c_str(), out_path.c_str(), "deep", &report), 0);
  EXPECT_NE(std::string(report).find(out_path), std::string::npos) << report;
}

}  // namespace

#if !defined(_WIN32)
// Where OUT already is something: a plain file is replaced once the new one is complete (and no
// OUT.part stays behind); a link and a pipe are written through, never replaced by a file.
struct destination_case {
  const char *name;
  std::function<void(const qvt::temp_dir &, const std::string &out)> make;
  bool is_link;
  bool is_fifo;
};
void PrintTo(const destination_case &c, std::ostream *os) { *os << c.name; }

class ConvertDestination : public Convert,
                           public ::testing::WithParamInterface<destination_case> {};

TEST_P(ConvertDestination, ComesOutWholeAndKeepsWhatOutIs) {
  const std::string in = wav_with(work, "in.wav", 22050, 3000);
  const std::string out_path = work.file("out.wav");
  GetParam().make(work, out_path);
  std::vector<uint8_t> through_fifo;
  std::thread reader;
  if (GetParam().is_fifo) reader = std::thread([&] { through_fifo = qvt::read_file(out_path); });
  const int status = ondrelix_convert_file(in.c_str(), out_path.c_str(), "deep", nullptr);
  if (reader.joinable()) reader.join();
  ASSERT_EQ(status, 0) << ondrelix_last_error();

  struct stat st {};
  ASSERT_EQ(lstat(out_path.c_str(), &st), 0);
  EXPECT_EQ(S_ISLNK(st.st_mode), GetParam().is_link);
  EXPECT_EQ(S_ISFIFO(st.st_mode), GetParam().is_fifo);
  const std::vector<uint8_t> written = GetParam().is_fifo ? through_fifo : qvt::read_file(out_path);
  ASSERT_GT(written.size(), 44u);
  EXPECT_EQ(std::string(written.begin(), written.begin() + 4), "RIFF");
  EXPECT_FALSE(std::ifstream(out_path + ".part").good());
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConvertDestination,
    ::testing::Values(destination_case{"nothing", [](const qvt::temp_dir &, const std::string &) {},
                                       false, false},
                      destination_case{"old_file",
                                       [](const qvt::temp_dir &, const std::string &out) {
                                         qvt::write_file(out, {'o', 'l', 'd'});
                                       },
                                       false, false},
                      destination_case{"link",
                                       [](const qvt::temp_dir &d, const std::string &out) {
                                         qvt::write_file(d.file("target.wav"), {'o', 'l', 'd'});
                                         ASSERT_EQ(
                                             symlink(d.file("target.wav").c_str(), out.c_str()), 0);
                                       },
                                       true, false},
                      destination_case{"fifo",
                                       [](const qvt::temp_dir &, const std::string &out) {
                                         ASSERT_EQ(mkfifo(out.c_str(), 0600), 0);
                                       },
                                       false, true}),
    [](const auto &info) { return std::string(info.param.name); });
#endif
