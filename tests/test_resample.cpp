#include <climits>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <vector>

#include "signal/resample.h"
#include "test_support.h"

namespace {

struct block {
  float *data = nullptr;
  int32_t len = -7;
  ~block() { std::free(data); }
};

struct count_case {
  int32_t in_count, in_rate, out_rate, expected;
};

// A short, stable name in test listings (gtest would print the bytes, addresses included).
void PrintTo(const count_case &c, std::ostream *os) {
  *os << c.in_count << " samples " << c.in_rate << " -> " << c.out_rate;
}

class OutputCount : public ::testing::TestWithParam<count_case> {};

TEST_P(OutputCount, IsTheTruncatedProduct) {
  const count_case c = GetParam();
  std::vector<float> x(static_cast<size_t>(c.in_count), 0.5f);
  block out;
  ASSERT_EQ(qv_resample(x.data(), c.in_count, c.in_rate, &out.data, &out.len, c.out_rate), 0);
  EXPECT_EQ(out.len, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Counts, OutputCount,
    ::testing::Values(count_case{3200, 16000, 22050, 4410}, count_case{4410, 22050, 16000, 3200},
                      count_case{3, 48000, 22050, 1}, count_case{1, 22050, 16000, 0},
                      count_case{44100, 44100, 22050, 22050}, count_case{777, 22050, 22050, 777}));

struct bad_case {
  bool null_in, null_out, null_len;
  int32_t in_count, in_rate, out_rate;
};

// A short, stable name in test listings (gtest would print the bytes, addresses included).
void PrintTo(const bad_case &c, std::ostream *os) {
  *os << c.in_count << " samples " << c.in_rate << " -> " << c.out_rate
      << (c.null_in ? " null in" : "") << (c.null_out ? " null out" : "")
      << (c.null_len ? " null len" : "");
}

class InvalidArguments : public ::testing::TestWithParam<bad_case> {};

TEST_P(InvalidArguments, FailWithoutWriting) {
  const bad_case c = GetParam();
  std::vector<float> x(16, 0.1f);
  std::vector<float> buf(64, 42.0f);
  float *poison = reinterpret_cast<float *>(0x10);
  float *blk = poison;
  int32_t len = -7;
  const float *in = c.null_in ? nullptr : x.data();
  EXPECT_EQ(qv_resample(in, c.in_count, c.in_rate, c.null_out ? nullptr : &blk,
                        c.null_len ? nullptr : &len, c.out_rate),
            -1);
  EXPECT_EQ(qv_resample_buffer(in, c.in_count, c.in_rate, c.null_out ? nullptr : buf.data(), 64,
                               c.null_len ? nullptr : &len, c.out_rate),
            -1);
  EXPECT_EQ(blk, poison);
  EXPECT_EQ(len, -7);
  EXPECT_EQ(buf[0], 42.0f);
}

INSTANTIATE_TEST_SUITE_P(Table, InvalidArguments,
                         ::testing::Values(bad_case{true, false, false, 16, 16000, 22050},
                                           bad_case{false, true, false, 16, 16000, 22050},
                                           bad_case{false, false, true, 16, 16000, 22050},
                                           bad_case{false, false, false, 0, 16000, 22050},
                                           bad_case{false, false, false, -1, 16000, 22050},
                                           bad_case{false, false, false, 16, 0, 22050},
                                           bad_case{false, false, false, 16, -8000, 22050},
                                           bad_case{false, false, false, 16, 16000, 0}));

TEST(Resample, CountsBeyond32BitsFailInsteadOfWrapping) {
  static float x[4] = {0, 0, 0, 0};
  block out;
  // 4 samples at 1 Hz to 2^30 Hz: the output count 2^32 does not fit.
  EXPECT_EQ(qv_resample(x, 4, 1, &out.data, &out.len, 1 << 30), -1);
  EXPECT_EQ(out.len, -7);
  float small[8];
  int32_t len = -7;
  EXPECT_EQ(qv_resample_buffer(x, 4, 1, small, 8, &len, 1 << 30), -1);
  EXPECT_EQ(len, -7);
}

TEST(Resample, EqualRatesCopyBitForBit) {
  std::vector<float> x = {0.1f, -0.0f, 1e-30f, 3.5f, -2.25f};
  block out;
  ASSERT_EQ(qv_resample(x.data(), 5, 16000, &out.data, &out.len, 16000), 0);
  ASSERT_EQ(out.len, 5);
  EXPECT_EQ(0, std::memcmp(out.data, x.data(), 5 * sizeof(float)));
}

TEST(Resample, BufferOutputIsLimitedByCapacity) {
  std::vector<float> x(1000, 0.25f);
  std::vector<float> buf(100, 9.0f);
  int32_t len = 0;
  ASSERT_EQ(qv_resample_buffer(x.data(), 1000, 16000, buf.data(), 99, &len, 22050), 0);
  EXPECT_EQ(len, 99);
  EXPECT_EQ(buf[99], 9.0f);
}

TEST(Resample, ConstantInGivesConstantOut) {
  for (auto [in_rate, out_rate] : {std::pair{16000, 22050}, {22050, 16000}, {44100, 22050}}) {
    std::vector<float> x(2000, 0.375f);
    block out;
    ASSERT_EQ(qv_resample(x.data(), 2000, in_rate, &out.data, &out.len, out_rate), 0);
    for (int32_t i = 0; i < out.len; ++i) ASSERT_NEAR(out.data[i], 0.375f, 1e-6f) << i;
  }
}

TEST(Resample, TwoSampleDownsamplingExample) {
  const float x[2] = {1.0f, 0.0f};
  block out;
  ASSERT_EQ(qv_resample(x, 2, 44100, &out.data, &out.len, 22050), 0);
  ASSERT_EQ(out.len, 1);
  const double u = 11.0 / 24.0;
  const double w = 0.42 - 0.5 * std::cos(2 * M_PI * u) + 0.08 * std::cos(4 * M_PI * u);
  EXPECT_FLOAT_EQ(out.data[0], static_cast<float>(1.0 / (1.0 + w * 2.0 / M_PI)));
}

// A tone keeps its frequency and amplitude through up- and down-sampling (away from the ends,
// where the window is cut).
TEST(Resample, SineKeepsFrequencyAndAmplitude) {
  for (auto [in_rate, out_rate] : {std::pair{16000, 22050}, {22050, 16000}, {44100, 22050}}) {
    const double f = 440.0;
    const int n = in_rate / 2;
    std::vector<float> x(n);
    for (int i = 0; i < n; ++i)
      x[i] = static_cast<float>(0.8 * std::sin(2 * M_PI * f * i / in_rate));
    block out;
    ASSERT_EQ(qv_resample(x.data(), n, in_rate, &out.data, &out.len, out_rate), 0);
    double worst = 0;
    for (int i = 100; i < out.len - 100; ++i) {
      const double expected = 0.8 * std::sin(2 * M_PI * f * i / out_rate);
      worst = std::max(worst, std::fabs(out.data[i] - expected));
    }
    EXPECT_LT(worst, 2e-3) << in_rate << " -> " << out_rate;
  }
}

// Output 0 lies exactly on input 0, where the sinc factor is 1.
TEST(Resample, FirstOutputSitsOnFirstInput) {
  std::vector<float> x(100, 0.0f);
  x[0] = 1.0f;
  block out;
  ASSERT_EQ(qv_resample(x.data(), 100, 16000, &out.data, &out.len, 22050), 0);
  EXPECT_FLOAT_EQ(out.data[0], 1.0f);
}

}  // namespace

namespace {

// The resampler's definition, one output at a time, with every tap's weight computed afresh.
// Output i lies at input position i * in_rate / out_rate; `exact_position` takes its whole and
// fractional parts from integers, the other way computes i * (in_rate / out_rate) in doubles.
std::vector<float> reference_resample(const std::vector<float> &x, int32_t in_rate,
                                      int32_t out_rate, bool exact_position = true) {
  const double ratio = static_cast<double>(out_rate) / in_rate;
  const auto n = static_cast<int32_t>(x.size() * ratio);
  const double fc = std::min(ratio, 1.0);
  const int64_t g = std::gcd(in_rate, out_rate);
  std::vector<float> out(static_cast<size_t>(n));
  for (int32_t i = 0; i < n; ++i) {
    int64_t c = int64_t{i} * (in_rate / g) / (out_rate / g);
    double fraction =
        static_cast<double>(int64_t{i} * (in_rate / g) % (out_rate / g)) / (out_rate / g);
    if (!exact_position) {
      const double pos = i * (1.0 / ratio);
      c = static_cast<int64_t>(pos);
      fraction = pos - static_cast<double>(c);
    }
    double acc = 0, wsum = 0;
    for (int64_t j = std::max<int64_t>(c - 12, 0);
         j <= std::min<int64_t>(c + 12, static_cast<int64_t>(x.size()) - 1); ++j) {
      const double d = fraction + static_cast<double>(c - j);
      double w = 0;
      if (std::fabs(d) < 12) {
        const double u = (d + 12) / 24;
        w = 0.42 - 0.5 * std::cos(6.283185307179586 * u) + 0.08 * std::cos(12.566370614359172 * u);
      }
      const double xx = d * fc;
      if (std::fabs(xx) >= 1e-9) {
        const double y = xx * 3.141592653589793;
        w = w * std::sin(y) / y;
      }
      const double h = w * fc;
      acc += static_cast<double>(x[j]) * h;
      wsum += h;
    }
    out[i] = std::fabs(wsum) > 1e-9 ? static_cast<float>(acc / wsum) : 0.0f;
  }
  return out;
}

// The position's rounding is all that separates the two ways of computing it: outputs agree to
// within a few float steps.
TEST(Resample, PositionFromIntegersOnlyRoundsDifferently) {
  for (auto [in_rate, out_rate] : {std::pair{16000, 22050}, {22050, 16000}, {48000, 22050}}) {
    const std::vector<float> x = qvt::test_tone(40000, in_rate);
    const std::vector<float> exact = reference_resample(x, in_rate, out_rate);
    const std::vector<float> doubles = reference_resample(x, in_rate, out_rate, false);
    ASSERT_EQ(exact.size(), doubles.size());
    for (size_t i = 0; i < exact.size(); ++i)
      ASSERT_NEAR(exact[i], doubles[i], 1e-6) << in_rate << " -> " << out_rate << " at " << i;
  }
}

// Reused tap weights and the split across threads leave every output bit for bit as defined.
TEST(Resample, FastPathsMatchTheDefinitionBitForBit) {
  for (auto [in_rate, out_rate] : {std::pair{44100, 22050},
                                   {22050, 44100},
                                   {16000, 22050},
                                   {48000, 22050},
                                   {8000, 32000},
                                   {22050, 16000}}) {
    std::vector<float> x = qvt::test_tone(150000, in_rate);
    x[1234] = 0.9f;  // an impulse, so a wrong tap shows
    block out;
    ASSERT_EQ(qv_resample(x.data(), static_cast<int32_t>(x.size()), in_rate, &out.data, &out.len,
                          out_rate),
              0);
    const std::vector<float> expected = reference_resample(x, in_rate, out_rate);
    ASSERT_EQ(out.len, static_cast<int32_t>(expected.size()));
    EXPECT_EQ(0, std::memcmp(out.data, expected.data(), expected.size() * sizeof(float)))
        << in_rate << " -> " << out_rate;
  }
}

}  // namespace

namespace {

// A long signal resampled in pieces, each from the smallest window that serves it, is the whole
// signal's resampling bit for bit; a window one input short is refused.
TEST(ResampleSpan, PiecesMatchTheWholeSignalBitForBit) {
  const struct {
    int32_t in_rate, out_rate;
  } rates[] = {{16000, 22050}, {22050, 16000}, {44100, 22050}, {48000, 22050}, {8000, 22050}};
  for (const auto &r : rates) {
    const std::vector<float> x = qvt::test_tone(20011, r.in_rate);
    float *whole = nullptr;
    int32_t n = 0;
    ASSERT_EQ(qv_resample(x.data(), 20011, r.in_rate, &whole, &n, r.out_rate), 0);
    ASSERT_EQ(qv_resample_length(20011, r.in_rate, r.out_rate), n);
    std::vector<float> pieced(static_cast<size_t>(n));
    for (int64_t begin = 0; begin < n; begin += 1237) {
      const int64_t end = std::min<int64_t>(n, begin + 1237);
      const int64_t first = qv_resample_first_input(begin, r.in_rate, r.out_rate);
      const int64_t last =
          std::min<int64_t>(20011, qv_resample_inputs_needed(end, r.in_rate, r.out_rate));
      ASSERT_EQ(qv_resample_span(x.data() + first, first, last - first, 20011, r.in_rate,
                                 r.out_rate, begin, end, pieced.data() + begin),
                0)
          << r.in_rate << "->" << r.out_rate << " at " << begin;
      if (first > 0) {
        float unused[1237];
        EXPECT_EQ(qv_resample_span(x.data() + first + 1, first + 1, last - first - 1, 20011,
                                   r.in_rate, r.out_rate, begin, end, unused),
                  -1);
      }
    }
    EXPECT_EQ(0, std::memcmp(pieced.data(), whole, static_cast<size_t>(n) * sizeof(float)))
        << r.in_rate << "->" << r.out_rate;
    std::free(whole);
  }
}

}  // namespace
