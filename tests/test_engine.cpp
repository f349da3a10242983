// Engine start-up and teardown.
#include <string>

#include "engine_fixture.h"

namespace {

constexpr const char *kDefaultReport =
    "{\"voices\":[\"female\",\"deep\",\"robot\"],\"custom_available\":true,\"realtime\":true,"
    "\"engine\":\"openvoice_v2\",\"version\":\"1.0.0\"}";

class Engine : public qvt::engine_test {};

TEST_F(Engine, InitOnFixtureModelsGivesTheDefaultReport) {
  qvt::models_dir dir;
  const char *report = nullptr;
  ASSERT_EQ(ondrelix_init(dir.str().c_str(), &report), 0) << ondrelix_last_error();
  EXPECT_EQ(report, report_text());
  EXPECT_STREQ(report, kDefaultReport);
  EXPECT_EQ(qvt::engine().initialized(), 1);
  EXPECT_NE(qvt::engine().converter(), nullptr);
  EXPECT_NE(qvt::engine().speaker(), nullptr);
}

struct failure_case {
  const char *name;
  std::string dir;      // models folder to pass ("" and "<null>" are literal cases)
  std::string message;  // the whole message, or its start when prefix is set
  bool prefix;
};

// A short, stable name in test listings (gtest would print the bytes, addresses included).
void PrintTo(const failure_case &c, std::ostream *os) { *os << c.name; }

class InitFailure : public Engine, public ::testing::WithParamInterface<failure_case> {};

TEST_P(InitFailure, LeavesNothingBehind) {
  const failure_case &c = GetParam();
  std::snprintf(report_buffer(), qv::kReportSize, "previous report");
  const char *report = reinterpret_cast<const char *>(0x1);
  const char *dir = c.dir == "<null>" ? nullptr : c.dir.c_str();
  EXPECT_EQ(ondrelix_init(dir, &report), -1);
  qvt::expect_last_error(c.message, c.prefix);
  EXPECT_EQ(report, reinterpret_cast<const char *>(0x1));
  EXPECT_STREQ(report_text(), "previous report");
  EXPECT_EQ(qvt::engine().initialized(), 0);
  // Runtime objects of a failed start are released at once, not held until the next start.
  EXPECT_EQ(qv::engine_test_access::env(qvt::engine()), nullptr);
  EXPECT_EQ(qvt::engine().memory(), nullptr);
  EXPECT_EQ(qvt::engine().converter(), nullptr);
  EXPECT_EQ(qvt::engine().speaker(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Table, InitFailure,
    ::testing::Values(failure_case{"null", "<null>", "models_dir is NULL or empty", false},
                      failure_case{"empty", "", "models_dir is NULL or empty", false},
                      failure_case{"no_models", "/nonexistent-models", "CreateSession: ", true},
                      failure_case{"no_speaker", qvt::fixture_dir("no_speaker"),
                                   "CreateSession: ", true},
                      // A line feed is not a separator: it stays part of the path.
                      failure_case{"trailing_line_feed", qvt::fixture_dir("models") + "\n",
                                   "CreateSession: ", true}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Engine, ConverterFailureNeverOpensTheSpeakerModel) {
  EXPECT_EQ(ondrelix_init("/nonexistent-models", nullptr), -1);
  const std::string err = ondrelix_last_error();
  EXPECT_NE(err.find("openvoice_converter.onnx"), std::string::npos) << err;
  EXPECT_EQ(err.find("openvoice_speaker.onnx"), std::string::npos) << err;
  EXPECT_EQ(ondrelix_init(qvt::fixture_dir("no_speaker").c_str(), nullptr), -1);
  EXPECT_NE(std::string(ondrelix_last_error()).find("openvoice_speaker.onnx"), std::string::npos);
}

TEST_F(Engine, TrailingSeparatorsAndBlanksAreStripped) {
  const std::string base = qvt::fixture_dir("models");
  for (const std::string suffix : {"\\\\\\", "/ \t", "//", "  "}) {
    ASSERT_EQ(ondrelix_init((base + suffix).c_str(), nullptr), 0) << suffix;
    EXPECT_EQ(std::string(qvt::engine().models_dir()), base);
  }
  // Only removable characters: stored empty, so the model paths start at the root.
  EXPECT_EQ(ondrelix_init("/", nullptr), -1);
  EXPECT_STREQ(qvt::engine().models_dir(), "");
  EXPECT_NE(std::string(ondrelix_last_error()).find(QV_PATH_SEPARATOR "openvoice_converter.onnx"),
            std::string::npos);
}

TEST_F(Engine, LongDirectoryIsCutTo1023Bytes) {
  std::string dir = "/" + std::string(1499, 'd');
  EXPECT_EQ(ondrelix_init(dir.c_str(), nullptr), -1);
  EXPECT_EQ(std::strlen(qvt::engine().models_dir()), 1023u);
  EXPECT_EQ(std::string(qvt::engine().models_dir()), dir.substr(0, 1023));
  // Cut first, then stripped: a slash that lands on byte 1023 is removed.
  dir = std::string(1022, 'd') + "/" + std::string(400, 'e');
  EXPECT_EQ(ondrelix_init(dir.c_str(), nullptr), -1);
  EXPECT_EQ(std::strlen(qvt::engine().models_dir()), 1022u);
}

TEST_F(Engine, FailedDirectoryCheckKeepsTheStoredDirectory) {
  qvt::models_dir dir;
  init(dir.str());
  EXPECT_EQ(ondrelix_init(nullptr, nullptr), -1);
  EXPECT_EQ(std::string(qvt::engine().models_dir()), dir.str());
  EXPECT_EQ(qvt::engine().initialized(), 0);  // the previous engine is not restored
  EXPECT_EQ(ondrelix_convert_file("a.wav", "b.wav", nullptr, nullptr), -1);
  EXPECT_STREQ(ondrelix_last_error(), "ondrelix is not initialized");
}

TEST_F(Engine, ReinitHandsOutTheNewReportAndForgetsTheClone) {
  qvt::models_dir dir;
  init(dir.str());
  qvt::engine().voices().set_custom(std::vector<float>(256, 0.5f).data());  // as after a clone
  qvt::write_embedding(dir.file("robot.bin"), std::vector<float>(256, 0.5f));
  const char *report = nullptr;
  ASSERT_EQ(ondrelix_init(dir.str().c_str(), &report), 0);
  EXPECT_EQ(report, report_text());
  EXPECT_FALSE(qvt::engine().voices().custom_loaded());
  qvt::json r(report);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(yyjson_arr_size(r.get("voices")), 1u);
  EXPECT_STREQ(yyjson_get_str(yyjson_arr_get_first(r.get("voices"))), "robot");
}

TEST_F(Engine, CleanupIsIdempotentAndKeepsTexts) {
  ondrelix_cleanup();  // before any start: nothing happens
  qvt::models_dir dir;
  init(dir.str());
  set_error("kept");
  ondrelix_cleanup();
  ondrelix_cleanup();
  EXPECT_EQ(qvt::engine().initialized(), 0);
  EXPECT_EQ(qvt::engine().voices().count(), 0);
  EXPECT_EQ(qvt::engine().converter(), nullptr);
  EXPECT_EQ(qv::engine_test_access::env(qvt::engine()), nullptr);
  EXPECT_NE(get_ort_api(), nullptr);  // the API table stays cached
  EXPECT_STREQ(ondrelix_last_error(), "kept");
  EXPECT_STREQ(ondrelix_version(), "1.1.0");
}

TEST_F(Engine, RepeatedStartsAndStopsHoldUp) {
  qvt::models_dir dir;
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(ondrelix_init(dir.str().c_str(), nullptr), 0) << i << ": " << ondrelix_last_error();
    if (i % 2) ondrelix_cleanup();
  }
}

}  // namespace
