#include <cmath>
#include <cstdlib>
#include <vector>

#include "signal/fft.h"
#include "test_support.h"

namespace {

// Mirror reflection without repeating the end samples, written independently of the library.
int mirror(int p, int n) {
  while (p < 0 || p >= n) p = p < 0 ? -p : 2 * (n - 1) - p;
  return p;
}

// Magnitudes of one frame by a direct DFT in double precision.
std::vector<double> reference_frame(const std::vector<float> &x, int frame) {
  const int n = static_cast<int>(x.size());
  std::vector<double> windowed(1024);
  for (int i = 0; i < 1024; ++i) {
    const double w = 0.5 - 0.5 * std::cos(2 * M_PI * i / 1024.0);
    windowed[i] = x[mirror(frame * 256 - 384 + i, n)] * w;
  }
  std::vector<double> mags(513);
  for (int b = 0; b < 513; ++b) {
    double re = 0, im = 0;
    for (int i = 0; i < 1024; ++i) {
      re += windowed[i] * std::cos(2 * M_PI * b * i / 1024.0);
      im -= windowed[i] * std::sin(2 * M_PI * b * i / 1024.0);
    }
    mags[b] = std::sqrt(re * re + im * im + 1e-6);
  }
  return mags;
}

struct spectrogram {
  float *data = nullptr;
  int32_t frames = -7;
  ~spectrogram() { std::free(data); }
  float at(int bin, int frame) const { return data[static_cast<size_t>(bin) * frames + frame]; }
};

TEST(FftTables, PinnedEntries) {
  qv_fft_init();
  EXPECT_EQ(qv_fft_hann_window()[0], 0.0f);
  EXPECT_EQ(qv_fft_hann_window()[512], 1.0f);
  EXPECT_EQ(qv_fft_hann_window()[256],
            static_cast<float>(0.5 - 0.5 * std::cos(256 * 6.283185307179586 / 1024)));
  EXPECT_EQ(qv_fft_bit_reversal()[1], 512);
  EXPECT_EQ(qv_fft_bit_reversal()[3], 768);
  EXPECT_EQ(qv_fft_bit_reversal()[1023], 1023);
  EXPECT_EQ(qv_fft_twiddle_re()[0], 1.0f);
  EXPECT_EQ(qv_fft_twiddle_im()[0], 0.0f);
  EXPECT_TRUE(std::signbit(qv_fft_twiddle_im()[0]));
  // cos(-pi/2) in double is a tiny nonzero value: the entry is its own libm call, not a symmetry.
  // (mingw's cos gives it with its last digits off the correctly rounded value glibc gives.)
  const float quarter = static_cast<float>(std::cos(256 * -6.283185307179586 / 1024));
#if defined(_WIN32)
  EXPECT_NEAR(qv_fft_twiddle_re()[256], quarter, 1e-3f * quarter);
#else
  EXPECT_EQ(qv_fft_twiddle_re()[256], quarter);
#endif
  EXPECT_NE(qv_fft_twiddle_re()[256], 0.0f);
  EXPECT_EQ(qv_fft_twiddle_im()[256], -1.0f);
}

TEST(FftTables, SecondInitChangesNothing) {
  qv_fft_init();
  std::vector<float> before(qv_fft_twiddle_re(), qv_fft_twiddle_re() + 512);
  qv_fft_init();
  EXPECT_EQ(0, std::memcmp(before.data(), qv_fft_twiddle_re(), 512 * sizeof(float)));
}

class FrameCount : public ::testing::TestWithParam<std::pair<int32_t, int32_t>> {};

TEST_P(FrameCount, IsSamplesOver256OrFailure) {
  const auto [n, expected] = GetParam();
  std::vector<float> x(static_cast<size_t>(std::max(n, 1)), 0.25f);
  spectrogram s;
  float *poison = reinterpret_cast<float *>(0x1);
  s.data = poison;
  const int32_t rc = qv_compute_spectrogram(x.data(), n, &s.data, &s.frames);
  if (expected < 0) {
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(s.data, poison);
    EXPECT_EQ(s.frames, -7);
    s.data = nullptr;
  } else {
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(s.frames, expected);
  }
}

INSTANTIATE_TEST_SUITE_P(Counts, FrameCount,
                         ::testing::Values(std::make_pair(1023, -1), std::make_pair(0, -1),
                                           std::make_pair(-5, -1), std::make_pair(1024, 4),
                                           std::make_pair(1279, 4), std::make_pair(1280, 5),
                                           std::make_pair(22050, 86)));

TEST(Spectrogram, NullArgumentsFail) {
  std::vector<float> x(2048, 0.0f);
  float *out = nullptr;
  int32_t frames = 0;
  EXPECT_EQ(qv_compute_spectrogram(nullptr, 2048, &out, &frames), -1);
  EXPECT_EQ(qv_compute_spectrogram(x.data(), 2048, nullptr, &frames), -1);
  EXPECT_EQ(qv_compute_spectrogram(x.data(), 2048, &out, nullptr), -1);
}

TEST(Spectrogram, ZeroSignalGivesTheFloor) {
  std::vector<float> x(1500, 0.0f);
  spectrogram s;
  ASSERT_EQ(qv_compute_spectrogram(x.data(), 1500, &s.data, &s.frames), 0);
  for (int i = 0; i < 513 * s.frames; ++i) ASSERT_EQ(s.data[i], std::sqrt(1e-6f)) << i;
}

TEST(Spectrogram, ConstantSignalHasEnergyInBinsZeroAndOne) {
  std::vector<float> x(2000, 1.0f);
  spectrogram s;
  ASSERT_EQ(qv_compute_spectrogram(x.data(), 2000, &s.data, &s.frames), 0);
  for (int t = 0; t < s.frames; ++t) {
    EXPECT_NEAR(s.at(0, t), 512.0f, 1e-3f) << t;
    EXPECT_NEAR(s.at(1, t), 256.0f, 1e-3f) << t;
    for (int b = 2; b < 513; ++b) ASSERT_NEAR(s.at(b, t), 1e-3f, 2e-4f) << b << "," << t;
  }
}

// Frames at both ends read reflected samples; the middle frames read the signal as it is.
TEST(Spectrogram, MatchesDirectDftIncludingReflectedFrames) {
  const int n = 3000;
  std::vector<float> x(n);
  unsigned seed = 12345;
  for (int i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    x[i] = static_cast<float>(std::sin(i * 0.05) * 0.5 + ((seed >> 16) % 2001 - 1000) / 4000.0);
  }
  spectrogram s;
  ASSERT_EQ(qv_compute_spectrogram(x.data(), n, &s.data, &s.frames), 0);
  ASSERT_EQ(s.frames, n / 256);
  for (int frame : {0, 1, 5, s.frames - 2, s.frames - 1}) {
    const std::vector<double> ref = reference_frame(x, frame);
    double peak = 0;
    for (double m : ref) peak = std::max(peak, m);
    for (int b = 0; b < 513; ++b)
      ASSERT_NEAR(s.at(b, frame), ref[b], 2e-6 * peak * 32 + 1e-5)
          << "bin " << b << " frame " << frame;
  }
}

// The magnitude of bin b in frame t sits at b * frames + t: a tone that starts in the last frame
// shows up only in that column.
TEST(Spectrogram, LayoutIsBinMajor) {
  const int n = 1024 * 3;
  std::vector<float> x(n, 0.0f);
  for (int i = 2560; i < n; ++i) x[i] = static_cast<float>(std::sin(2 * M_PI * 64 * i / 1024.0));
  spectrogram s;
  ASSERT_EQ(qv_compute_spectrogram(x.data(), n, &s.data, &s.frames), 0);
  ASSERT_EQ(s.frames, 12);
  EXPECT_GT(s.at(64, 11), 100.0f);
  EXPECT_LT(s.at(64, 0), 0.01f);
  EXPECT_LT(s.at(64, 5), 0.01f);
}

}  // namespace

namespace {

// A long spectrogram is computed across threads; each frame must still equal the same frame of
// a short excerpt computed alone (frame 2 of x[256 (t - 2), + 2048) is frame t of x).
TEST(Spectrogram, LongSignalsMatchFrameByFrame) {
  const int n = 256 * 4000;
  std::vector<float> x = qvt::test_tone(n);
  for (int i = 0; i < n; i += 977) x[i] += 0.25f;
  spectrogram whole;
  ASSERT_EQ(qv_compute_spectrogram(x.data(), n, &whole.data, &whole.frames), 0);
  // The excerpt must lie inside x: t <= n / 256 - 6.
  for (int t : {2, 700, 1023, 1024, 1025, 2047, 2048, 3000, 3994}) {
    spectrogram part;
    ASSERT_EQ(qv_compute_spectrogram(x.data() + 256 * (t - 2), 2048, &part.data, &part.frames), 0);
    for (int b = 0; b < 513; ++b)
      ASSERT_EQ(whole.at(b, t), part.at(b, 2)) << "frame " << t << " bin " << b;
  }
}

}  // namespace
