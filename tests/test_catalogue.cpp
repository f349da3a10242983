// The voice catalogue filled from embedding files, and name lookups.
#include <cmath>
#include <string>
#include <vector>

#include "engine_fixture.h"

namespace {

std::vector<float> filled(float v) { return std::vector<float>(256, v); }

class Catalogue : public qvt::engine_test {};

struct files_case {
  const char *name;
  std::vector<std::pair<const char *, size_t>> files;  // stock name, file size in bytes
  std::vector<std::string> voices;
};

// A short, stable name in test listings (gtest would print the bytes, addresses included).
void PrintTo(const files_case &c, std::ostream *os) { *os << c.name; }

class CatalogueFiles : public Catalogue, public ::testing::WithParamInterface<files_case> {};

// Each file holds the value (index of the stock voice + 1) so entries can be told apart.
TEST_P(CatalogueFiles, LoadsValidFilesInStockOrder) {
  qvt::models_dir dir;
  const char *stock[3] = {"female", "deep", "robot"};
  for (const auto &[name, size] : GetParam().files) {
    const int index = static_cast<int>(
        std::find_if(stock, stock + 3, [&](const char *s) { return std::string(s) == name; }) -
        stock);
    qvt::write_embedding(dir.file(std::string(name) + ".bin"),
                         filled(static_cast<float>(index + 1)), size);
  }
  init(dir.str());
  ASSERT_EQ(qvt::engine().voices().count(), static_cast<int>(GetParam().voices.size()));
  for (int i = 0; i < qvt::engine().voices().count(); ++i) {
    EXPECT_EQ(qvt::engine().voices().entry(i).name, GetParam().voices[i]);
    if (GetParam().voices.size() == 3 && GetParam().files.size() < 3) continue;  // synthetic
    const int index = GetParam().voices[i] == "female" ? 0 : GetParam().voices[i] == "deep" ? 1 : 2;
    EXPECT_EQ(qvt::engine().voices().entry(i).embedding[255], static_cast<float>(index + 1));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, CatalogueFiles,
    ::testing::Values(
        files_case{"none_synthetic", {}, {"female", "deep", "robot"}},
        files_case{"only_deep", {{"deep", 1024}}, {"deep"}},
        files_case{"robot_and_female", {{"robot", 1024}, {"female", 1024}}, {"female", "robot"}},
        files_case{"all_three",
                   {{"robot", 1024}, {"deep", 1024}, {"female", 1024}},
                   {"female", "deep", "robot"}},
        files_case{"short_file_skipped", {{"female", 1023}, {"deep", 1024}}, {"deep"}},
        files_case{"long_file_accepted", {{"female", 2000}}, {"female"}},
        files_case{
            "all_short_falls_back", {{"female", 1023}, {"deep", 4}}, {"female", "deep", "robot"}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Catalogue, SyntheticEmbeddingsAreSinesOfTenths) {
  qvt::models_dir dir;
  init(dir.str());
  EXPECT_EQ(qvt::engine().voices().entry(0).embedding[0], 0.0f);
  EXPECT_EQ(qvt::engine().voices().entry(0).embedding[1], static_cast<float>(std::sin(0.1)));
  EXPECT_EQ(qvt::engine().voices().entry(0).embedding[255],
            static_cast<float>(std::sin(255 * 0.1)));
  EXPECT_EQ(qvt::engine().voices().entry(1).embedding[0], static_cast<float>(std::sin(100 * 0.1)));
  EXPECT_EQ(qvt::engine().voices().entry(2).embedding[0], static_cast<float>(std::sin(200 * 0.1)));
}

TEST_F(Catalogue, LongFileUsesOnlyItsFirst1024Bytes) {
  qvt::models_dir dir;
  std::vector<float> values(500, 7.0f);
  for (int k = 0; k < 256; ++k) values[k] = static_cast<float>(k);
  qvt::write_embedding(dir.file("female.bin"), values, 2000);
  init(dir.str());
  EXPECT_EQ(qvt::engine().voices().entry(0).embedding[0], 0.0f);
  EXPECT_EQ(qvt::engine().voices().entry(0).embedding[255], 255.0f);
}

TEST_F(Catalogue, LookupsIgnoreCaseAndFallBackToTheFirstEntry) {
  qvt::models_dir dir;
  qvt::write_embedding(dir.file("deep.bin"), filled(2.0f));
  qvt::write_embedding(dir.file("robot.bin"), filled(3.0f));
  init(dir.str());
  const float *deep = qvt::engine().voices().entry(0).embedding;
  const float *robot = qvt::engine().voices().entry(1).embedding;
  struct {
    const char *name;
    const float *expected;
  } cases[] = {{"robot", robot}, {"ROBOT", robot}, {"Robot", robot},  {"deep", deep},
               {"DeEp", deep},   {"female", deep}, {"unknown", deep}, {nullptr, deep},
               {"", deep},       {"custom", deep}, {"robot ", deep},  {"robo", deep}};
  for (const auto &c : cases)
    EXPECT_EQ(qvt::voice_embedding(c.name), c.expected) << (c.name ? c.name : "(null)");
}

TEST_F(Catalogue, CustomResolvesOnlyWhileLoaded) {
  qvt::models_dir dir;
  init(dir.str());
  EXPECT_EQ(qvt::voice_embedding("custom"), qvt::engine().voices().entry(0).embedding);
  qvt::engine().voices().set_custom(std::vector<float>(256, 0.5f).data());
  EXPECT_EQ(qvt::voice_embedding("CUSTOM"), qvt::engine().voices().custom_embedding());
  EXPECT_EQ(qvt::voice_embedding("Custom"), qvt::engine().voices().custom_embedding());
  ondrelix_cleanup();
  init(dir.str());
  EXPECT_EQ(qvt::voice_embedding("custom"), qvt::engine().voices().entry(0).embedding);
}

}  // namespace
