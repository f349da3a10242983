#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "audio/wav.h"
#include "audio/wav_stream.h"
#include "test_support.h"

namespace {

using qvt::put_chunk;
using qvt::put_le;

struct read_result {
  int32_t rc;
  qv_wav rec;
  std::string err;
};

read_result read_bytes(const std::vector<uint8_t> &bytes) {
  qvt::temp_dir dir;
  const std::string path = dir.file("in.wav");
  qvt::write_file(path, bytes);
  read_result r{0, {reinterpret_cast<float *>(0x1), 99, 99}, std::string(256, '\0')};
  r.rc = qv_wav_read(path.c_str(), &r.rec, r.err.data(), r.err.size());
  r.err.resize(std::strlen(r.err.c_str()));
  return r;
}

std::vector<uint8_t> chunks_of(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::vector<uint8_t> chunk(const char *id, const std::vector<uint8_t> &payload,
                           int64_t declared = -1) {
  std::vector<uint8_t> out;
  put_chunk(out, id, payload, declared);
  return out;
}

struct failure_case {
  const char *name;
  std::vector<uint8_t> bytes;
  const char *message;
};

// A short, stable name in test listings (gtest would print the bytes, addresses included).
void PrintTo(const failure_case &c, std::ostream *os) { *os << c.name; }

std::vector<failure_case> failure_cases() {
  const auto fmt16 = chunk("fmt ", qvt::fmt_payload(1, 2, 16000, 16));
  const std::vector<uint8_t> four(4, 0);
  return {
      {"short_header", {'R', 'I', 'F', 'F', 0, 0}, "Failed to read RIFF header"},
      {"not_riff",
       {'R', 'I', 'F', 'X', 4, 0, 0, 0, 'W', 'A', 'V', 'E'},
       "Not a valid RIFF/WAVE file"},
      {"not_wave",
       {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'A', 'V', 'I', ' '},
       "Not a valid RIFF/WAVE file"},
      {"no_chunks", qvt::riff({}), "Missing fmt or data chunk in WAV file"},
      {"fmt_only", qvt::riff(fmt16), "Missing fmt or data chunk in WAV file"},
      {"data_before_fmt", qvt::riff(chunks_of({chunk("data", four), fmt16})),
       "Missing fmt or data chunk in WAV file"},
      {"empty_data", qvt::riff(chunks_of({fmt16, chunk("data", {})})),
       "Missing fmt or data chunk in WAV file"},
      {"skip_past_end", qvt::riff(chunks_of({fmt16, chunk("LIST", {}, 1000)})),
       "Missing fmt or data chunk in WAV file"},
      {"truncated_fmt", qvt::riff(chunk("fmt ", {1, 0, 1, 0}, 16)), "Truncated fmt chunk"},
      {"extensible", qvt::wav_file(0xFFFE, 1, 16000, 16, four),
       "Unsupported WAV audio format: 65534 (only PCM or IEEE float supported)"},
      // An extensible tag needs the whole 40-byte header to name its sub-format.
      {"extensible_fmt18",
       qvt::riff(chunks_of(
           {chunk("fmt ", qvt::fmt_payload(0xFFFE, 1, 16000, 16, 2)), chunk("data", four)})),
       "Unsupported WAV audio format: 65534 (only PCM or IEEE float supported)"},
      {"extensible_alaw",
       qvt::riff(chunks_of(
           {chunk("fmt ", qvt::fmt_extensible(6, 1, 8000, 16, 16)), chunk("data", four)})),
       "Unsupported WAV audio format: 65534 (only PCM or IEEE float supported)"},
      {"extensible_foreign_guid",
       qvt::riff(chunks_of(
           {chunk("fmt ", qvt::fmt_extensible(1, 1, 8000, 16, 16, false)), chunk("data", four)})),
       "Unsupported WAV audio format: 65534 (only PCM or IEEE float supported)"},
      {"extensible_pcm8",
       qvt::riff(
           chunks_of({chunk("fmt ", qvt::fmt_extensible(1, 1, 8000, 8, 8)), chunk("data", four)})),
       "Unsupported bits per sample: 8"},
      {"alaw", qvt::wav_file(6, 1, 8000, 16, four),
       "Unsupported WAV audio format: 6 (only PCM or IEEE float supported)"},
      {"pcm8", qvt::wav_file(1, 1, 8000, 8, four), "Unsupported bits per sample: 8"},
      {"float16", qvt::wav_file(3, 1, 8000, 16, four), "Unsupported bits per sample: 16"},
      {"float24", qvt::wav_file(3, 1, 8000, 24, std::vector<uint8_t>(6, 0)),
       "Unsupported bits per sample: 24"},
      {"zero_channels", qvt::wav_file(1, 0, 8000, 16, four), "Invalid WAV channels/bits"},
      {"less_than_a_frame", qvt::wav_file(1, 2, 8000, 16, {1, 2, 3}), "WAV data contains 0 frames"},
      // A fmt chunk of 2 bytes leaves the other fields zero: the bits check fails cleanly.
      {"short_fmt", qvt::riff(chunks_of({chunk("fmt ", {1, 0}), chunk("data", four)})),
       "Unsupported bits per sample: 0"},
  };
}

class ReadFailure : public ::testing::TestWithParam<failure_case> {};

TEST_P(ReadFailure, GivesItsMessageAndAnEmptyRecord) {
  const read_result r = read_bytes(GetParam().bytes);
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.err, GetParam().message);
  EXPECT_EQ(r.rec.samples, nullptr);
  EXPECT_EQ(r.rec.frames, 0);
  EXPECT_EQ(r.rec.sample_rate, 0);
}

INSTANTIATE_TEST_SUITE_P(Table, ReadFailure, ::testing::ValuesIn(failure_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(WavRead, MissingFileAndNullArguments) {
  qv_wav rec{reinterpret_cast<float *>(0x1), 5, 6};
  char err[128] = "untouched";
  EXPECT_EQ(qv_wav_read(nullptr, &rec, err, sizeof err), -1);
  EXPECT_STREQ(err, "Invalid arguments");
  EXPECT_EQ(rec.frames, 5);  // the record is not touched by the argument check
  EXPECT_EQ(qv_wav_read("/nonexistent/x.wav", &rec, err, sizeof err), -1);
  EXPECT_STREQ(err, "Failed to open input file: /nonexistent/x.wav");
  EXPECT_EQ(rec.samples, nullptr);
  // A null message buffer and a size of 0 are both accepted.
  EXPECT_EQ(qv_wav_read("/nonexistent/x.wav", &rec, nullptr, 0), -1);
  char tiny[4] = "abc";
  EXPECT_EQ(qv_wav_read("/nonexistent/x.wav", &rec, tiny, 0), -1);
  EXPECT_STREQ(tiny, "abc");
}

struct sample_case {
  const char *name;
  std::vector<uint8_t> bytes;
  int32_t rate;
  std::vector<float> expected;
};

// A short, stable name in test listings (gtest would print the bytes, addresses included).
void PrintTo(const sample_case &c, std::ostream *os) { *os << c.name; }

std::vector<uint8_t> pcm24(std::initializer_list<uint8_t> b) { return b; }

std::vector<uint8_t> int32_bytes(std::initializer_list<int32_t> values, int shift = 0) {
  std::vector<uint8_t> out;
  for (int32_t v : values) put_le(out, static_cast<uint32_t>(v) << shift, 4);
  return out;
}

std::vector<uint8_t> with_block_align(std::vector<uint8_t> fmt, uint16_t block_align) {
  fmt[12] = static_cast<uint8_t>(block_align);
  fmt[13] = static_cast<uint8_t>(block_align >> 8);
  return fmt;
}

// The extensible, padded and 4-byte-container layouts that real tools write.
std::vector<sample_case> layout_cases() {
  std::vector<uint8_t> float_data(8);
  const float fv[2] = {0.25f, -3.0f};
  std::memcpy(float_data.data(), fv, 8);
  const auto ext = [](std::vector<uint8_t> fmt, std::vector<uint8_t> data) {
    return qvt::riff(chunks_of({chunk("fmt ", fmt), chunk("data", data)}));
  };
  // -96 and 23052 as 24-bit samples, stereo: their mean in float32.
  const float mean24 = (-96.0f / 8388608.0f + 23052.0f / 8388608.0f) / 2.0f;
  const auto padded_fmt = with_block_align(qvt::fmt_payload(1, 2, 48000, 24), 8);
  const auto list_odd = chunk("LIST", {'I', 'N', 'F', 'O', 'a'});  // 5 bytes
  const auto data16 = chunk("data", qvt::pcm16_bytes({8192, -8192}));
  const auto fmt16 = chunk("fmt ", qvt::fmt_payload(1, 1, 8000, 16));
  std::vector<uint8_t> padded_list = list_odd;
  padded_list.push_back(0);
  return {
      {"extensible_pcm16_4ch",
       ext(qvt::fmt_extensible(1, 4, 16000, 16, 16),
           qvt::pcm16_bytes({16384, 16384, -16384, 0, 8192, 8192, 8192, 8192})),
       16000,
       {0.125f, 0.25f}},
      {"extensible_pcm24",
       ext(qvt::fmt_extensible(1, 1, 44100, 24, 24), pcm24({0, 0, 0x80})),
       44100,
       {-1.0f}},
      {"extensible_pcm32",
       ext(qvt::fmt_extensible(1, 1, 96000, 32, 32), int32_bytes({1 << 30})),
       96000,
       {0.5f}},
      {"extensible_float",
       ext(qvt::fmt_extensible(3, 1, 22050, 32, 32), float_data),
       22050,
       {0.25f, -3.0f}},
      // 24 bits in 4-byte containers: the low 3 bytes hold the sample when the block align says
      // so; the extensible 32/24 layout holds it at the top (zero below) or, where the low
      // bytes are in use, at the bottom.
      {"pcm24_in_4_bytes", ext(padded_fmt, int32_bytes({-96, 23052})), 48000, {mean24}},
      {"extensible24_in_4_bytes",
       ext(with_block_align(qvt::fmt_extensible(1, 2, 48000, 24, 24), 8),
           int32_bytes({-96, 23052})),
       48000,
       {mean24}},
      {"extensible32_valid24_top",
       ext(qvt::fmt_extensible(1, 2, 48000, 32, 24), int32_bytes({-96, 23052}, 8)),
       48000,
       {mean24}},
      {"extensible32_valid24_low",
       ext(qvt::fmt_extensible(1, 2, 48000, 32, 24), int32_bytes({-96, 23052})),
       48000,
       {mean24}},
      // Another block align is ignored, as the format fields say everything else.
      {"odd_block_align_ignored",
       ext(with_block_align(qvt::fmt_payload(1, 1, 8000, 16), 6), qvt::pcm16_bytes({4096})),
       8000,
       {0.125f}},
      {"odd_chunk_with_pad",
       qvt::riff(chunks_of({fmt16, padded_list, data16})),
       8000,
       {0.25f, -0.25f}},
      {"odd_chunk_without_pad",
       qvt::riff(chunks_of({fmt16, list_odd, data16})),
       8000,
       {0.25f, -0.25f}},
      {"odd_chunk_pad_before_fmt",
       qvt::riff(chunks_of({padded_list, fmt16, chunk("fact", {1, 2, 3}), data16})),
       8000,
       {0.25f, -0.25f}},
  };
}

std::vector<sample_case> sample_cases() {
  std::vector<uint8_t> float_data(8);
  const float fv[2] = {1.5f, -2.25f};
  std::memcpy(float_data.data(), fv, 8);
  std::vector<uint8_t> pcm32;
  put_le(pcm32, 2147483647u, 4);
  put_le(pcm32, 0x80000000u, 4);
  std::vector<uint8_t> stereo = qvt::pcm16_bytes({16384, -16384, 16384, 16384});
  auto with_list =
      chunks_of({chunk("fmt ", qvt::fmt_payload(1, 1, 8000, 16)), chunk("LIST", {1, 2, 3, 4, 5, 6}),
                 chunk("data", qvt::pcm16_bytes({-32768, 32767}))});
  auto fmt18 = chunks_of(
      {chunk("fmt ", qvt::fmt_payload(1, 1, 8000, 16, 2)), chunk("data", qvt::pcm16_bytes({100}))});
  auto fmt40 = chunks_of({chunk("fmt ", qvt::fmt_payload(1, 1, 8000, 16, 24)),
                          chunk("data", qvt::pcm16_bytes({-100}))});
  return {
      {"pcm16_mono",
       qvt::wav_file(1, 1, 16000, 16, qvt::pcm16_bytes({0, 16384, -32768, 32767})),
       16000,
       {0.0f, 0.5f, -1.0f, 32767.0f / 32768.0f}},
      {"pcm16_stereo_downmix", qvt::wav_file(1, 2, 44100, 16, stereo), 44100, {0.0f, 0.5f}},
      {"pcm24",
       qvt::wav_file(1, 1, 48000, 24, pcm24({0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F})),
       48000,
       {-1.0f, 8388607.0f / 8388608.0f}},
      {"pcm32", qvt::wav_file(1, 1, 22050, 32, pcm32), 22050, {1.0f, -1.0f}},
      {"float32_unclipped", qvt::wav_file(3, 1, 22050, 32, float_data), 22050, {1.5f, -2.25f}},
      {"list_chunk_skipped", qvt::riff(with_list), 8000, {-1.0f, 32767.0f / 32768.0f}},
      {"fmt18", qvt::riff(fmt18), 8000, {100.0f / 32768.0f}},
      {"fmt40", qvt::riff(fmt40), 8000, {-100.0f / 32768.0f}},
      {"trailing_partial_frame",
       qvt::wav_file(1, 2, 8000, 16, {0, 0x40, 0, 0x40, 7}),
       8000,
       {0.5f}},
      {"rate_zero_passes", qvt::wav_file(1, 1, 0, 16, qvt::pcm16_bytes({8192})), 0, {0.25f}},
  };
}

class ReadSamples : public ::testing::TestWithParam<sample_case> {};

TEST_P(ReadSamples, DecodesExactly) {
  const read_result r = read_bytes(GetParam().bytes);
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.err, "");  // success leaves the message buffer alone
  ASSERT_EQ(r.rec.frames, static_cast<int32_t>(GetParam().expected.size()));
  EXPECT_EQ(r.rec.sample_rate, GetParam().rate);
  for (size_t i = 0; i < GetParam().expected.size(); ++i)
    EXPECT_EQ(r.rec.samples[i], GetParam().expected[i]) << i;
  qv_wav rec = r.rec;
  qv_wav_free(&rec);
}

// The piecewise reader (long files) gives the same frames a frame at a time, and its header alone
// tells the frame count and rate.
TEST_P(ReadSamples, PieceByPieceDecodesTheSame) {
  qvt::temp_dir dir;
  const std::string path = dir.file("in.wav");
  qvt::write_file(path, GetParam().bytes);
  qv_wav_source header_only;
  ASSERT_TRUE(header_only.open(path.c_str(), nullptr, 0));
  EXPECT_EQ(header_only.frames(), static_cast<int64_t>(GetParam().expected.size()));
  EXPECT_EQ(header_only.sample_rate(), GetParam().rate);
  qv_wav_source source;
  ASSERT_TRUE(source.open(path.c_str(), nullptr, 0));
  for (size_t i = 0; i < GetParam().expected.size(); ++i) {
    float v = 0.0f;
    ASSERT_EQ(source.read(&v, 1), 1) << i;
    EXPECT_EQ(v, GetParam().expected[i]) << i;
  }
  float rest = 0.0f;
  EXPECT_EQ(source.read(&rest, 1), 0);
}

INSTANTIATE_TEST_SUITE_P(Table, ReadSamples, ::testing::ValuesIn(sample_cases()),
                         [](const auto &info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Layouts, ReadSamples, ::testing::ValuesIn(layout_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

// The header claims more data than the file holds: success with the frames that are there, and
// the reader never sizes its buffers from the claim (4 GiB here).
TEST(WavRead, TruncatedPayloadAndHugeClaims) {
  auto file = qvt::riff(chunks_of(
      {chunk("fmt ", qvt::fmt_payload(1, 2, 16000, 16)), chunk("data", {1, 2, 3}, 1000)}));
  read_result r = read_bytes(file);
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.rec.frames, 0);
  qv_wav_free(&r.rec);

  auto huge =
      qvt::riff(chunks_of({chunk("fmt ", qvt::fmt_payload(1, 1, 16000, 16)),
                           chunk("data", qvt::pcm16_bytes({1000, 2000, 3000}), 0xFFFFFFF0u)}));
  r = read_bytes(huge);
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.rec.frames, 3);
  EXPECT_EQ(r.rec.samples[2], 3000.0f / 32768.0f);
  qv_wav_free(&r.rec);
}

TEST(WavRead, LaterFmtChunkOverwritesTheFirst) {
  auto file = qvt::riff(chunks_of({chunk("fmt ", qvt::fmt_payload(1, 1, 8000, 16)),
                                   chunk("fmt ", qvt::fmt_payload(1, 1, 12345, 16)),
                                   chunk("data", qvt::pcm16_bytes({1}))}));
  read_result r = read_bytes(file);
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.rec.sample_rate, 12345);
  qv_wav_free(&r.rec);
}

TEST(WavWrite, HeaderAndClippedSamples) {
  qvt::temp_dir dir;
  const std::string path = dir.file("out.wav");
  const std::vector<float> x = {1.5f, -1.5f, -0.5f, NAN, 0.5f, 1.0f, -1.0f, 0.0f};
  char err[64] = "untouched";
  ASSERT_EQ(qv_wav_write(path.c_str(), x.data(), 8, 22050, err, sizeof err), 0);
  EXPECT_STREQ(err, "untouched");
  const std::vector<uint8_t> b = qvt::read_file(path);
  ASSERT_EQ(b.size(), 44u + 16u);
  auto u32 = [&](size_t o) {
    return b[o] | b[o + 1] << 8 | b[o + 2] << 16 | static_cast<uint32_t>(b[o + 3]) << 24;
  };
  auto u16 = [&](size_t o) { return static_cast<uint16_t>(b[o] | b[o + 1] << 8); };
  EXPECT_EQ(0, std::memcmp(b.data(), "RIFF", 4));
  EXPECT_EQ(u32(4), 36u + 16u);
  EXPECT_EQ(0, std::memcmp(b.data() + 8, "WAVEfmt ", 8));
  EXPECT_EQ(u32(16), 16u);
  EXPECT_EQ(u16(20), 1);
  EXPECT_EQ(u16(22), 1);
  EXPECT_EQ(u32(24), 22050u);
  EXPECT_EQ(u32(28), 44100u);
  EXPECT_EQ(u16(32), 2);
  EXPECT_EQ(u16(34), 16);
  EXPECT_EQ(0, std::memcmp(b.data() + 36, "data", 4));
  EXPECT_EQ(u32(40), 16u);
  const int16_t expected[8] = {32767, -32767, -16383, 0, 16383, 32767, -32767, 0};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(static_cast<int16_t>(u16(44 + 2 * i)), expected[i]) << i;
}

TEST(WavWrite, RoundTrip) {
  qvt::temp_dir dir;
  const std::string path = dir.file("rt.wav");
  std::vector<float> x = qvt::test_tone(3000);
  ASSERT_EQ(qv_wav_write(path.c_str(), x.data(), 3000, 16000, nullptr, 0), 0);
  qv_wav rec{};
  ASSERT_EQ(qv_wav_read(path.c_str(), &rec, nullptr, 0), 0);
  ASSERT_EQ(rec.frames, 3000);
  EXPECT_EQ(rec.sample_rate, 16000);
  for (int i = 0; i < 3000; ++i)
    ASSERT_EQ(rec.samples[i], static_cast<float>(static_cast<int16_t>(x[i] * 32767.0f)) / 32768.0f)
        << i;
  qv_wav_free(&rec);
  EXPECT_EQ(rec.samples, nullptr);
  EXPECT_EQ(rec.frames, 0);
  EXPECT_EQ(rec.sample_rate, 0);
  qv_wav_free(&rec);  // a second call is harmless
  qv_wav_free(nullptr);
}

TEST(WavWrite, InvalidArgumentsCreateNoFile) {
  qvt::temp_dir dir;
  const std::string path = dir.file("never.wav");
  const float x[1] = {0};
  struct {
    const char *path;
    const float *samples;
    int32_t n, rate;
  } cases[] = {{nullptr, x, 1, 8000},
               {path.c_str(), nullptr, 1, 8000},
               {path.c_str(), x, 0, 8000},
               {path.c_str(), x, -3, 8000},
               {path.c_str(), x, 1, 0},
               {path.c_str(), x, 1, -1},
               // 36 + 2n would wrap the 32-bit RIFF size.
               {path.c_str(), x, 2147483630, 8000}};
  for (const auto &c : cases) {
    char err[64] = "";
    EXPECT_EQ(qv_wav_write(c.path, c.samples, c.n, c.rate, err, sizeof err), -1);
    EXPECT_STREQ(err, "Invalid WAV write arguments");
    EXPECT_FALSE(std::filesystem::exists(path));
  }
}

TEST(WavWrite, UnwritablePathAndFullDeviceAreReported) {
  const float x[4] = {0, 0, 0, 0};
  char err[128] = "";
  EXPECT_EQ(qv_wav_write("/nonexistent-dir/out.wav", x, 4, 8000, err, sizeof err), -1);
  EXPECT_STREQ(err, "Failed to create output WAV file: /nonexistent-dir/out.wav");
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  std::vector<float> big(100000, 0.1f);
  EXPECT_EQ(qv_wav_write("/dev/full", big.data(), 100000, 8000, err, sizeof err), -1);
  EXPECT_STREQ(err, "Failed to write output WAV file: /dev/full");
}

}  // namespace
