// The continuous stream mode: options, sample counts, the stop report, overload, the gate, and
// refused or broken pieces. The block mode's tests are in test_stream.cpp and stay as they are.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "engine_fixture.h"

namespace {

using clock_type = std::chrono::steady_clock;

// The continuous mode with room for writes of several seconds at once (the default bound of
// 500 ms would drop them: see OverloadDropsTheOldestInputAndRejoins).
constexpr const char *kRoomy = "{\"continuous\":true,\"max_delay_ms\":10000}";

// 16 kHz samples the continuous mode holds back at the most: one hop (at most 1024 model-rate
// samples) and its lookahead, with the resamplers' taps.
constexpr int64_t kMaxLag = 743 + 600;

class Continuous : public qvt::started_engine_test {
 protected:
  // Reads until nothing more has come for `quiet`; returns what was read.
  static std::vector<int16_t> drain(
      std::chrono::milliseconds quiet = std::chrono::milliseconds(400)) {
    std::vector<int16_t> out;
    int16_t buf[4096];
    auto last = clock_type::now();
    while (clock_type::now() - last < quiet) {
      int got = 0;
      ondrelix_rt_read(buf, 4096, &got);
      if (got > 0) last = clock_type::now();
      out.insert(out.end(), buf, buf + got);
    }
    return out;
  }
  static std::vector<int16_t> tone(size_t n, double amplitude = 8000.0) {
    std::vector<int16_t> v(n);
    for (size_t i = 0; i < n; ++i)
      v[i] = static_cast<int16_t>(amplitude * std::sin(0.05 * static_cast<double>(i)) +
                                  0.3 * amplitude * std::sin(0.31 * static_cast<double>(i)));
    return v;
  }
};

struct options_case {
  const char *options;
  bool on;
  int32_t hop;
  float gate_rms;
  int32_t max_backlog;
};

void PrintTo(const options_case &c, std::ostream *os) { *os << c.options; }

class ContinuousOptions : public Continuous, public ::testing::WithParamInterface<options_case> {};

TEST_P(ContinuousOptions, AreReadOnlyInTheNeuralMode) {
  const options_case &c = GetParam();
  ASSERT_EQ(ondrelix_rt_start("deep", c.options), 0);
  EXPECT_EQ(qvt::stream().config().continuous, c.on);
  if (c.on) {
    EXPECT_EQ(qvt::stream().config().hop, c.hop);
    EXPECT_FLOAT_EQ(qvt::stream().config().gate_rms, c.gate_rms);
    EXPECT_EQ(qvt::stream().config().max_backlog, c.max_backlog);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ContinuousOptions,
    ::testing::Values(
        options_case{"{\"continuous\":true}", true, 1024, 0.0f, 8000},
        options_case{"{\"continuous\":true,\"latency_ms\":93}", true, 2051, 0.0f, 8000},
        options_case{"{\"continuous\":true,\"latency_ms\":20}", true, 441, 0.0f, 8000},
        options_case{"{\"continuous\":true,\"gate_db\":-40}", true, 1024, 0.01f, 8000},
        options_case{"{\"continuous\":true,\"gate_db\":-40.0}", true, 1024, 0.01f, 8000},
        options_case{"{\"continuous\":true,\"gate_db\":5}", true, 1024, 0.0f, 8000},
        options_case{"{\"continuous\":true,\"max_delay_ms\":200}", true, 1024, 0.0f, 3200},
        options_case{"{\"continuous\":true,\"max_delay_ms\":20}", true, 1024, 0.0f, 8000},
        options_case{"{\"continuous\":false}", false, 0, 0.0f, 0},
        options_case{"{\"continuous\":1}", false, 0, 0.0f, 0},
        options_case{"{\"continuous\":\"yes\"}", false, 0, 0.0f, 0},
        options_case{"{\"mode\":\"dsp\",\"continuous\":true}", false, 0, 0.0f, 0},
        options_case{"{\"gate_db\":-40}", false, 0, 0.0f, 0}));

// Over a whole stream the output follows the input with a delay that stays within one hop and
// its lookahead, however the host cuts its writes: nothing is lost and nothing drifts.
TEST_F(Continuous, OutputFollowsInputWithABoundedFixedDelay) {
  ASSERT_EQ(ondrelix_rt_start("deep", kRoomy), 0);
  const std::vector<int16_t> in = tone(16000 * 6);
  const size_t sizes[] = {1237, 3001, 77, 5000, 1, 640};
  size_t pos = 0, k = 0;
  int64_t out = 0;
  for (int round = 0; round < 2; ++round) {
    const size_t end = round == 0 ? in.size() / 2 : in.size();
    while (pos < end) {
      const size_t n = std::min(sizes[k++ % 6], end - pos);
      ASSERT_EQ(ondrelix_rt_write(in.data() + pos, static_cast<int>(n)), 0);
      pos += n;
      int16_t buf[4096];
      int got = 0;
      ondrelix_rt_read(buf, 4096, &got);
      out += got;
    }
    out += static_cast<int64_t>(drain().size());
    // All written input is there but the lookahead of the last piece.
    EXPECT_GE(out, static_cast<int64_t>(pos) - kMaxLag) << round;
    EXPECT_LE(out, static_cast<int64_t>(pos)) << round;
  }
  const char *report = nullptr;
  ondrelix_rt_stop(&report);
  qvt::json r(report);
  EXPECT_EQ(yyjson_get_sint(r.get("total_out_frames")), out);
  EXPECT_EQ(yyjson_get_sint(r.get("dropped_frames")), 0);
  EXPECT_EQ(yyjson_get_sint(r.get("rejoins")), 0);
}

TEST_F(Continuous, StopReportAddsItsKeysAfterTheUsualOnes) {
  ASSERT_EQ(ondrelix_rt_start("deep", kRoomy), 0);
  const std::vector<int16_t> in = tone(16000);
  ASSERT_EQ(ondrelix_rt_write(in.data(), 16000), 0);
  drain();
  const char *report = nullptr;
  ondrelix_rt_stop(&report);
  qvt::json r(report);
  EXPECT_EQ(r.keys(),
            "processed_ms,total_time_ms,avg_latency_ms,dropped_frames,total_in_frames,total_out_"
            "frames,realtime,continuous,hop_ms,lookahead_ms,delay_ms,delay_p99_ms,piece_p99_ms,"
            "pieces,gated_pieces,rejoins");
  EXPECT_NEAR(r.num("hop_ms"), 1024 / 22.05, 1e-9);
  EXPECT_GT(r.num("delay_ms"), 0.0);
  EXPECT_GE(r.num("delay_p99_ms"), r.num("delay_ms"));
  EXPECT_GT(yyjson_get_sint(r.get("pieces")), 10);
  EXPECT_EQ(yyjson_get_sint(r.get("pieces")),
            static_cast<int64_t>(qvt::stream_state().latency_samples()));
}

// A host that falls behind: 3 s arrive at once with a bound of 100 ms. The oldest input is
// dropped and counted, the stream rejoins, and the output goes on.
TEST_F(Continuous, OverloadDropsTheOldestInputAndRejoins) {
  ASSERT_EQ(ondrelix_rt_start("deep", "{\"continuous\":true,\"max_delay_ms\":100}"), 0);
  const std::vector<int16_t> in = tone(16000 * 3);
  ASSERT_EQ(ondrelix_rt_write(in.data(), static_cast<int>(in.size())), 0);
  const size_t out = drain().size();
  const char *report = nullptr;
  ondrelix_rt_stop(&report);
  qvt::json r(report);
  const int64_t dropped = yyjson_get_sint(r.get("dropped_frames"));
  EXPECT_GE(yyjson_get_sint(r.get("rejoins")), 1);
  EXPECT_GE(dropped, 16000 * 3 - 1600 - 2 * kMaxLag);
  EXPECT_GT(out, 0u);
  EXPECT_LE(static_cast<int64_t>(out) + dropped, 16000 * 3);
  EXPECT_EQ(yyjson_get_sint(r.get("total_out_frames")), static_cast<int64_t>(out));
}

// Pieces below the gate skip the models and come out silent; louder ones are converted. A second
// of a constant value is quiet however far from zero it stands: at -80 dB, and a DC offset of
// 0.1 (-20 dB counted from zero), which a cheap sound card records under its pauses.
class ContinuousGate : public Continuous, public ::testing::WithParamInterface<int16_t> {};

TEST_P(ContinuousGate, SilencesQuietPieces) {
  ASSERT_EQ(
      ondrelix_rt_start("deep", "{\"continuous\":true,\"gate_db\":-50,\"max_delay_ms\":10000}"), 0);
  std::vector<int16_t> in(16000, GetParam());
  const std::vector<int16_t> loud = tone(16000);
  in.insert(in.end(), loud.begin(), loud.end());
  ASSERT_EQ(ondrelix_rt_write(in.data(), static_cast<int>(in.size())), 0);
  const std::vector<int16_t> out = drain();
  const char *report = nullptr;
  ondrelix_rt_stop(&report);
  qvt::json r(report);
  const int64_t pieces = yyjson_get_sint(r.get("pieces"));
  const int64_t gated = yyjson_get_sint(r.get("gated_pieces"));
  EXPECT_GE(gated, 16000 / 743 - 2);
  EXPECT_LT(gated, pieces - 10);
  ASSERT_GT(out.size(), 12000u);
  for (size_t i = 0; i < 12000; ++i) ASSERT_EQ(out[i], 0) << i;
}

INSTANTIATE_TEST_SUITE_P(Quiet, ContinuousGate, ::testing::Values(int16_t{3}, int16_t{3277}));

// A piece the models refuse passes through, as a block does in the block mode: with a converter
// that fails every run, the output is the input (through the two resamplers).
TEST_F(Continuous, RefusedPiecesPassThrough) {
  qvt::models_dir reject("reject_converter");
  init(reject.str());
  ASSERT_EQ(ondrelix_rt_start("deep", kRoomy), 0);
  const std::vector<int16_t> in = tone(16000 * 2);
  ASSERT_EQ(ondrelix_rt_write(in.data(), static_cast<int>(in.size())), 0);
  const std::vector<int16_t> out = drain();
  ondrelix_rt_stop(nullptr);
  ASSERT_GT(out.size(), 20000u);
  double error = 0.0, signal = 0.0;
  for (size_t i = 2000; i < 20000; ++i) {
    error += std::pow(static_cast<double>(out[i]) - in[i], 2);
    signal += std::pow(static_cast<double>(in[i]), 2);
  }
  EXPECT_LT(10 * std::log10(error / signal), -40.0);
}

TEST_F(Continuous, NanFromTheModelComesOutAsSilence) {
  qvt::models_dir nan_models("nan_audio");
  init(nan_models.str());
  ASSERT_EQ(ondrelix_rt_start("deep", kRoomy), 0);
  const std::vector<int16_t> in = tone(16000);
  ASSERT_EQ(ondrelix_rt_write(in.data(), 16000), 0);
  const std::vector<int16_t> out = drain();
  ondrelix_rt_stop(nullptr);
  ASSERT_GT(out.size(), 10000u);
  EXPECT_EQ(std::count(out.begin(), out.end(), int16_t{0}), static_cast<long>(out.size()));
}

}  // namespace
