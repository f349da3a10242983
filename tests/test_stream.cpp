// The real-time stream: rings, worker, effects, start/stop and the statistics report.
#include <atomic>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "audio/wav.h"
#include "engine_fixture.h"

namespace {

using clock_type = std::chrono::steady_clock;

class Stream : public qvt::started_engine_test {
 protected:
  // Pushes `in` and collects `expected` output samples, or gives up after `timeout`.
  static std::vector<int16_t> pump(
      const std::vector<int16_t> &in, size_t expected,
      std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    EXPECT_EQ(ondrelix_rt_write(in.data(), static_cast<int>(in.size())), 0);
    return collect(expected, timeout);
  }
  static std::vector<int16_t> collect(
      size_t expected, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    std::vector<int16_t> out;
    const auto deadline = clock_type::now() + timeout;
    int16_t buf[4096];
    while (out.size() < expected && clock_type::now() < deadline) {
      int got = 0;
      EXPECT_EQ(ondrelix_rt_read(buf, 4096, &got), 0);
      out.insert(out.end(), buf, buf + got);
    }
    return out;
  }
  static std::vector<int16_t> ramp(size_t n, int start = 0) {
    std::vector<int16_t> v(n);
    for (size_t i = 0; i < n; ++i)
      v[i] = static_cast<int16_t>((start + static_cast<int>(i)) % 30011 - 15000);
    return v;
  }
};

// The robot oscillator carries its phase from the library's load, across blocks and streams; the
// expected values start from wherever it stands, so the test does not depend on its order.
TEST_F(Stream, RobotEffectAndItsPhaseAcrossBlocksAndStreams) {
  float phase = qvt::stream().modulation_phase();
  const float first_gain = std::sin(phase) * 0.4f + 0.6f;
  auto robot = [&](int16_t x) {
    const float s = std::sin(phase);
    phase += 0.06283186f;
    if (phase > 6.2831855f) phase -= 6.2831855f;
    const float y = (s * 0.4f + 0.6f) * (static_cast<float>(x) * (1.0f / 32768.0f));
    return y > 1.0f ? int16_t{32767} : static_cast<int16_t>(std::max(y, -1.0f) * 32767.0f);
  };
  std::vector<int16_t> in(640, 16384);
  in[1] = -32768;
  ASSERT_EQ(ondrelix_rt_start("RoBoT", "{\"mode\":\"dsp\"}"), 0);
  std::vector<int16_t> out = pump(in, 640);
  ondrelix_rt_stop(nullptr);
  ASSERT_EQ(out.size(), 640u);
  EXPECT_EQ(out[0], static_cast<int16_t>(first_gain * 0.5f * 32767.0f));
  EXPECT_GT(out[1], -32768);
  ASSERT_EQ(ondrelix_rt_start("robot", "{\"mode\":\"dsp\"}"), 0);
  std::vector<int16_t> more = pump(std::vector<int16_t>(320, 12000), 320);
  ondrelix_rt_stop(nullptr);
  out.insert(out.end(), more.begin(), more.end());
  in.insert(in.end(), 320, 12000);
  for (size_t i = 0; i < in.size(); ++i) ASSERT_EQ(out[i], robot(in[i])) << i;
}

TEST_F(Stream, PassThroughVoiceReturnsTheInputAcrossTheRingWrap) {
  ASSERT_EQ(ondrelix_rt_start("custom-ish", "{\"mode\":\"DSP\"}"), 0);
  std::vector<int16_t> all;
  std::vector<int16_t> got;
  // 150080 then 20160 samples: the second batch crosses slot 159999 in both rings.
  for (size_t n : {150080u, 20160u}) {
    const std::vector<int16_t> in = ramp(n, static_cast<int>(all.size()));
    all.insert(all.end(), in.begin(), in.end());
    const std::vector<int16_t> out = pump(in, n);
    got.insert(got.end(), out.begin(), out.end());
  }
  const char *report = nullptr;
  ondrelix_rt_stop(&report);
  EXPECT_EQ(got, all);
  qvt::json r(report);
  EXPECT_EQ(r.keys(),
            "processed_ms,total_time_ms,avg_latency_ms,dropped_frames,total_in_frames,total_out_"
            "frames,realtime");
  EXPECT_EQ(yyjson_get_sint(r.get("total_in_frames")), 170240);
  EXPECT_EQ(yyjson_get_sint(r.get("total_out_frames")), 170240);
  EXPECT_EQ(yyjson_get_sint(r.get("dropped_frames")), 0);
  EXPECT_DOUBLE_EQ(r.num("processed_ms"), 170240 / 16000.0 * 1000.0);
  EXPECT_TRUE(yyjson_is_true(r.get("realtime")));
}

// Output i interpolates the input at i x factor; "female" (1.35) runs out of input at 237.
TEST_F(Stream, FemaleAndDeepEffectsOnOneBlock) {
  const std::vector<int16_t> in = ramp(320, 1000);
  const struct {
    const char *voice;  // null means "female"
    float factor;
    int interpolated;
  } cases[] = {{nullptr, 1.35f, 237}, {"DEEP", 0.75f, 320}};
  for (const auto &c : cases) {
    ASSERT_EQ(ondrelix_rt_start(c.voice, "{\"mode\":\"dsp\"}"), 0);
    const std::vector<int16_t> out = pump(in, 320);
    ondrelix_rt_stop(nullptr);
    ASSERT_EQ(out.size(), 320u);
    for (int i = 0; i < c.interpolated; ++i) {
      const float pos = static_cast<float>(i) * c.factor;
      const int k = static_cast<int>(pos);
      const float frac = pos - static_cast<float>(k);
      ASSERT_EQ(out[i], static_cast<int16_t>(in[k] * (1.0f - frac) + frac * in[k + 1])) << i;
    }
    if (c.interpolated < 320) {
      EXPECT_EQ(out[237], in[319]);
      for (int i = 238; i < 320; ++i) ASSERT_EQ(out[i], 0) << i;
    }
  }
}

struct options_case {
  const char *options;
  int dsp;
  int block;
};

// A short, stable name in test listings (gtest would print the bytes, addresses included).
void PrintTo(const options_case &c, std::ostream *os) { *os << (c.options ? c.options : "(null)"); }

class StreamOptions : public Stream, public ::testing::WithParamInterface<options_case> {};

TEST_P(StreamOptions, SetModeAndBlockLength) {
  ASSERT_EQ(ondrelix_rt_start("deep", GetParam().options), 0);
  EXPECT_EQ(qvt::stream().config().mode_dsp, GetParam().dsp);
  EXPECT_EQ(qvt::stream().config().chunk_samples, GetParam().block);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StreamOptions,
    ::testing::Values(
        options_case{nullptr, 0, 3200}, options_case{"", 0, 3200},
        options_case{"{\"mode\":\"dsp\"}", 1, 320}, options_case{"{\"mode\":\"DSP\"}", 1, 320},
        options_case{"{\"mode\":\"dsp\",\"latency_ms\":100}", 1, 1600},
        options_case{"{\"latency_ms\":50}", 0, 800}, options_case{"{\"latency_ms\":19}", 0, 3200},
        options_case{"{\"latency_ms\":20}", 0, 320},
        options_case{"{\"latency_ms\":1000}", 0, 16000},
        options_case{"{\"latency_ms\":1001}", 0, 3200},
        options_case{"{\"latency_ms\":100.0}", 0, 3200},
        options_case{"{\"latency_ms\":1e2}", 0, 3200},
        options_case{"{\"latency_ms\":\"100\"}", 0, 3200},
        options_case{"{\"latency_ms\":-100}", 0, 3200}, options_case{"{\"Mode\":\"dsp\"}", 0, 3200},
        options_case{"{\"mode\":1}", 0, 3200}, options_case{"{\"mode\":\"neural\"}", 0, 3200},
        options_case{"{\"mode\":\"x\",\"mode\":\"dsp\"}", 0, 3200},
        options_case{"{\"mode\":\"dsp\",\"mode\":\"x\"}", 1, 320},
        options_case{"{\"latency_ms\":40,\"latency_ms\":80}", 0, 640},
        options_case{"[\"mode\",\"dsp\"]", 0, 3200}, options_case{"{\"mode\":\"dsp\"", 0, 3200},
        options_case{"not json", 0, 3200}, options_case{"{\"mode\":\"dsp\"} trailing", 0, 3200}));

TEST_F(Stream, WriteStoresWhatFitsAndCountsTheRest) {
  qvt::stream_state().run_without_worker();
  std::vector<int16_t> batch = ramp(159990);
  EXPECT_EQ(ondrelix_rt_write(batch.data(), 159990), 0);
  // k + d samples into k free slots: the first k stored, d dropped.
  std::vector<int16_t> tail = ramp(25, 7);
  EXPECT_EQ(ondrelix_rt_write(tail.data(), 25), 0);
  EXPECT_EQ(qvt::stream_state().in_count(), 160000);
  EXPECT_EQ(qvt::stream_state().total_in_frames(), 160000);
  EXPECT_EQ(qvt::stream_state().dropped_frames(), 15);
  EXPECT_EQ(qvt::stream_state().in_buf()[159999], tail[9]);
  // A full ring stores nothing.
  EXPECT_EQ(ondrelix_rt_write(tail.data(), 25), 0);
  EXPECT_EQ(qvt::stream_state().dropped_frames(), 40);
  EXPECT_EQ(qvt::stream_state().total_in_frames(), 160000);
  qvt::stream_state().stop_without_worker();
}

TEST_F(Stream, WriteRefusals) {
  const int16_t s[4] = {1, 2, 3, 4};
  EXPECT_EQ(ondrelix_rt_write(s, 4), -1);  // no stream
  qvt::stream_state().run_without_worker();
  set_error("unchanged");
  EXPECT_EQ(ondrelix_rt_write(nullptr, 4), -1);
  EXPECT_EQ(ondrelix_rt_write(s, 0), -1);
  EXPECT_EQ(ondrelix_rt_write(s, -1), -1);
  EXPECT_EQ(qvt::stream_state().in_count(), 0);
  EXPECT_STREQ(ondrelix_last_error(), "unchanged");
  qvt::stream_state().stop_without_worker();
}

TEST_F(Stream, ReadWaitsOnceWhileRunningAndNeverAfterStop) {
  qvt::stream_state().run_without_worker();
  int16_t buf[8];
  int got = -1;
  auto t0 = clock_type::now();
  EXPECT_EQ(ondrelix_rt_read(buf, 8, &got), 0);
  const auto waited = clock_type::now() - t0;
  EXPECT_EQ(got, 0);
  EXPECT_GE(waited, std::chrono::milliseconds(15));
  EXPECT_LT(waited, std::chrono::milliseconds(500));

  qvt::stream_state().preset_output_ring({11, 22});
  t0 = clock_type::now();
  EXPECT_EQ(ondrelix_rt_read(buf, 2, &got), 0);  // capacity <= available: at once
  EXPECT_EQ(got, 2);
  EXPECT_EQ(buf[1], 22);
  EXPECT_LT(clock_type::now() - t0, std::chrono::milliseconds(10));

  qvt::stream_state().stop_without_worker();
  t0 = clock_type::now();
  EXPECT_EQ(ondrelix_rt_read(buf, 8, &got), 0);
  EXPECT_EQ(got, 0);
  EXPECT_LT(clock_type::now() - t0, std::chrono::milliseconds(10));
}

TEST_F(Stream, ReadRefusalsLeaveTheCountAlone) {
  int16_t buf[4];
  int got = 77;
  EXPECT_EQ(ondrelix_rt_read(buf, 4, nullptr), -1);
  EXPECT_EQ(ondrelix_rt_read(buf, 0, &got), -1);
  EXPECT_EQ(ondrelix_rt_read(buf, -3, &got), -1);
  EXPECT_EQ(ondrelix_rt_read(nullptr, 4, &got), -1);
  EXPECT_EQ(got, 77);
  // Before any stream, and without an engine, a read delivers nothing.
  ondrelix_cleanup();
  EXPECT_EQ(ondrelix_rt_read(buf, 4, &got), 0);
  EXPECT_EQ(got, 0);
}

TEST_F(Stream, DrainAfterStop) {
  ASSERT_EQ(ondrelix_rt_start("pass", "{\"mode\":\"dsp\"}"), 0);
  const std::vector<int16_t> in = ramp(3200);
  ASSERT_EQ(ondrelix_rt_write(in.data(), 3200), 0);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(qvt::stream_state().mutex());
      if (qvt::stream_state().total_out_frames() >= 3200) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ondrelix_rt_stop(nullptr);
  EXPECT_EQ(collect(3200), in);
  int16_t buf[4];
  int got = -1;
  EXPECT_EQ(ondrelix_rt_read(buf, 4, &got), 0);
  EXPECT_EQ(got, 0);
}

// Blocks shorter than 1024 samples at 22050 Hz are refused by the pipeline and pass through;
// 47 ms (752 samples) is the shortest block that converts.
TEST_F(Stream, NeuralBlocksShorterThanThePipelineMinimumPassThrough) {
  const std::vector<int16_t> in = ramp(736 * 2);
  ASSERT_EQ(ondrelix_rt_start("deep", "{\"latency_ms\":46}"), 0);
  EXPECT_EQ(pump(in, in.size()), in);
  ondrelix_rt_stop(nullptr);
  EXPECT_STREQ(ondrelix_last_error(), "Invalid inference parameters");

  set_error("none");
  ASSERT_EQ(ondrelix_rt_start("deep", "{\"latency_ms\":47}"), 0);
  const std::vector<int16_t> in752 = ramp(752);
  const std::vector<int16_t> out = pump(in752, 743);
  const char *report = nullptr;
  ondrelix_rt_stop(&report);
  // 752 -> 1036 samples at 22050 Hz -> 4 frames -> 1024 model samples -> 743 at 16 kHz.
  ASSERT_EQ(out.size(), 743u);
  EXPECT_FALSE(std::equal(out.begin(), out.end(), in752.begin()));  // converted, not passed through
  EXPECT_STREQ(ondrelix_last_error(), "none");
  qvt::json r(report);
  EXPECT_EQ(yyjson_get_sint(r.get("total_out_frames")), 743);
}

// A model that returns NaN: the stream's float-to-PCM conversion gives 0 for it, as the file
// writer does, instead of an undefined conversion.
TEST_F(Stream, NanFromTheModelComesOutAsSilence) {
  qvt::models_dir nan_models("nan_audio");
  init(nan_models.str());
  ASSERT_EQ(ondrelix_rt_start("deep", nullptr), 0);
  const std::vector<int16_t> out = pump(ramp(3200), 2000);
  ondrelix_rt_stop(nullptr);
  ASSERT_GE(out.size(), 2000u);
  EXPECT_EQ(std::count(out.begin(), out.end(), int16_t{0}), static_cast<long>(out.size()));
}

TEST_F(Stream, StartRules) {
  EXPECT_EQ(ondrelix_rt_start("custom", nullptr), -1);
  EXPECT_STREQ(ondrelix_last_error(),
               "Custom voice selected but no reference audio loaded (ondrelix_load_voice)");
  EXPECT_EQ(ondrelix_rt_start("CUSTOM", nullptr), -1);
  const std::string long_name(100, 'v');
  ASSERT_EQ(ondrelix_rt_start(long_name.c_str(), "{\"mode\":\"dsp\",\"latency_ms\":40}"), 0);
  EXPECT_EQ(std::string(qvt::stream().target().name), long_name.substr(0, 63));
  EXPECT_EQ(ondrelix_rt_start("deep", nullptr), -1);
  EXPECT_STREQ(ondrelix_last_error(), "Real-time streaming is already running");
  EXPECT_EQ(qvt::stream().config().chunk_samples, 640);  // the first stream keeps its settings
  ondrelix_rt_stop(nullptr);
  ondrelix_cleanup();
  EXPECT_EQ(ondrelix_rt_start("deep", nullptr), -1);
  EXPECT_STREQ(ondrelix_last_error(), "ondrelix is not initialized");
}

TEST_F(Stream, CustomVoiceStartsWithTheClonedEmbedding) {
  qvt::temp_dir work;
  qvt::write_wav_float(work.file("ref.wav"), qvt::test_tone(4096), 22050);
  ASSERT_EQ(ondrelix_load_voice(work.file("ref.wav").c_str(), nullptr), 0);
  ASSERT_EQ(ondrelix_rt_start("Custom", nullptr), 0);
  const float *custom = qvt::engine().voices().custom_embedding();
  EXPECT_EQ(
      0, std::memcmp(qvt::stream().target().embedding, custom, qv::kEmbeddingSize * sizeof(float)));
  // A clone made while the stream runs does not change the running stream's voice.
  std::vector<float> other(custom, custom + qv::kEmbeddingSize);
  other[0] += 1.0f;
  qvt::engine().voices().set_custom(other.data());
  EXPECT_NE(qvt::stream().target().embedding[0], custom[0]);
}

TEST_F(Stream, StopBeforeAnyBlockAndRestart) {
  ASSERT_EQ(ondrelix_rt_start("deep", nullptr), 0);
  const int16_t *rings[2] = {qvt::stream_state().in_buf(), qvt::stream_state().out_buf()};
  const std::vector<int16_t> some = ramp(1000);
  ASSERT_EQ(ondrelix_rt_write(some.data(), 1000), 0);
  const char *report = nullptr;
  EXPECT_EQ(ondrelix_rt_stop(&report), 0);
  qvt::json r(report);
  EXPECT_EQ(r.num("avg_latency_ms"), 0.0);
  EXPECT_TRUE(yyjson_is_true(r.get("realtime")));
  EXPECT_EQ(yyjson_get_sint(r.get("total_in_frames")), 1000);
  ASSERT_EQ(ondrelix_rt_start("pass", "{\"mode\":\"dsp\"}"), 0);
  EXPECT_EQ(qvt::stream_state().in_buf(), rings[0]);
  EXPECT_EQ(qvt::stream_state().out_buf(), rings[1]);
  EXPECT_EQ(qvt::stream_state().in_count(), 0);
  EXPECT_EQ(qvt::stream_state().total_in_frames(), 0);
}

TEST_F(Stream, CleanupAndReinitStopARunningStream) {
  ASSERT_EQ(ondrelix_rt_start("deep", nullptr), 0);
  std::snprintf(report_buffer(), qv::kReportSize, "previous");
  ondrelix_cleanup();
  EXPECT_FALSE(qvt::stream().running());
  EXPECT_NE(std::string(report_text()).find("\"processed_ms\""),
            std::string::npos);  // the stop report

  init(models.str());
  ASSERT_EQ(ondrelix_rt_start("deep", "{\"mode\":\"dsp\"}"), 0);
  const char *report = nullptr;
  ASSERT_EQ(ondrelix_init(models.str().c_str(), &report), 0);
  EXPECT_FALSE(qvt::stream().running());
  EXPECT_EQ(std::string(report).rfind("{\"voices\"", 0), 0u);
}

TEST_F(Stream, ManyStartStopCycles) {
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(ondrelix_rt_start(i % 2 ? "deep" : "robot", "{\"mode\":\"dsp\"}"), 0) << i;
    const int16_t s[320] = {};
    ondrelix_rt_write(s, 320);
    ondrelix_rt_stop(nullptr);
  }
}

// A host: one thread writes speech in 20 ms chunks at real-time pace, another reads all along.
// With a pass-through voice every sample comes back in order; the counters agree with the threads.
void host_round_trip(const char *voice, const char *options, bool expect_identity) {
  qv_wav rec{};
  ASSERT_EQ(qv_wav_read(qvt::corpus_file("spk2_b.wav").c_str(), &rec, nullptr, 0), 0);
  std::vector<int16_t> speech(static_cast<size_t>(rec.frames));
  for (int i = 0; i < rec.frames; ++i) speech[i] = static_cast<int16_t>(rec.samples[i] * 32768.0f);
  qv_wav_free(&rec);

  ASSERT_EQ(ondrelix_rt_start(voice, options), 0) << ondrelix_last_error();
  std::atomic<bool> writing{true};
  std::atomic<int64_t> written{0};
  std::vector<int16_t> received;
  std::thread reader([&] {
    int16_t buf[1024];
    while (writing.load()) {
      int got = 0;
      ondrelix_rt_read(buf, 1024, &got);
      received.insert(received.end(), buf, buf + got);
    }
  });
  std::thread writer([&] {
    auto next = clock_type::now();
    for (size_t pos = 0; pos < speech.size(); pos += 320) {
      const int n = static_cast<int>(std::min<size_t>(320, speech.size() - pos));
      ondrelix_rt_write(speech.data() + pos, n);
      written += n;
      next += std::chrono::milliseconds(20);
      std::this_thread::sleep_until(next);
    }
    // Let the worker finish the last full block before the reader stops.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    writing = false;
  });
  writer.join();
  reader.join();
  const char *report = nullptr;
  ondrelix_rt_stop(&report);
  int16_t buf[4096];
  int got = 0;
  do {
    ondrelix_rt_read(buf, 4096, &got);
    received.insert(received.end(), buf, buf + got);
  } while (got > 0);

  qvt::json r(report);
  EXPECT_EQ(yyjson_get_sint(r.get("total_in_frames")), written.load());
  EXPECT_EQ(yyjson_get_sint(r.get("dropped_frames")), 0);
  EXPECT_EQ(yyjson_get_sint(r.get("total_out_frames")), static_cast<int64_t>(received.size()));
  const size_t full_blocks =
      speech.size() / static_cast<size_t>(qvt::stream().config().chunk_samples);
  EXPECT_GT(received.size(), 0u);
  if (expect_identity) {
    ASSERT_EQ(received.size(), full_blocks * qvt::stream().config().chunk_samples);
    EXPECT_TRUE(std::equal(received.begin(), received.end(), speech.begin()));
  }
}

TEST_F(Stream, HostRoundTripDsp) {
  QVT_REQUIRE_CORPUS();
  host_round_trip("passthrough", "{\"mode\":\"dsp\"}", true);
}

TEST_F(Stream, HostRoundTripNeural) {
  QVT_REQUIRE_CORPUS();
  host_round_trip("deep", nullptr, false);
}

}  // namespace

namespace {

// Streams of their own on the one engine: three at once, each with its own voice and mode,
// written and read from threads of their own, each give exactly what it alone would give; the
// default stream behind the interface is not touched.
TEST_F(Stream, SeveralStreamsOnOneEngineRunAtOnce) {
  struct own_stream {
    const char *voice;
    const char *options;
    qv::stream stream;
    std::vector<int16_t> out;
  };
  own_stream streams[3] = {{"pass", "{\"mode\":\"dsp\"}", {}, {}},
                           {"female", "{\"mode\":\"dsp\"}", {}, {}},
                           {"deep", "{\"continuous\":true,\"max_delay_ms\":10000}", {}, {}}};
  const std::vector<int16_t> in = ramp(32000);
  for (own_stream &s : streams)
    ASSERT_TRUE(s.stream.start(qvt::engine(), s.voice, s.options).ok()) << s.voice;
  std::vector<std::thread> threads;
  for (own_stream &s : streams)
    threads.emplace_back([&in, &s] {
      for (size_t at = 0; at < in.size(); at += 320)
        s.stream.write(in.data() + at, 320);
      const auto deadline = clock_type::now() + std::chrono::seconds(10);
      int16_t buf[4096];
      while (s.out.size() < in.size() - 4000 && clock_type::now() < deadline) {
        int got = 0;
        s.stream.read(buf, 4096, &got);
        s.out.insert(s.out.end(), buf, buf + got);
      }
    });
  for (std::thread &t : threads) t.join();
  for (own_stream &s : streams) s.stream.stop();
  EXPECT_FALSE(qvt::stream().running());

  // Pass-through: the input itself. "female": the DSP effect on every 320-sample block.
  ASSERT_GE(streams[0].out.size(), in.size() - 4000);
  EXPECT_TRUE(std::equal(streams[0].out.begin(), streams[0].out.end(), in.begin()));
  qv::stream alone;
  alone.prepare(qvt::engine(), qvt::engine().voices().resolve("female"),
                qv::parse_stream_options("{\"mode\":\"dsp\"}"));
  std::vector<int16_t> expected, block(640);
  for (size_t at = 0; at + 320 <= streams[1].out.size(); at += 320) {
    const int32_t n = alone.convert_block(in.data() + at, block.data(), 320);
    expected.insert(expected.end(), block.begin(), block.begin() + n);
  }
  ASSERT_GE(expected.size(), in.size() - 4000);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), streams[1].out.begin()));
  // The neural one converted: as much out as in, less its fixed delay.
  EXPECT_GE(streams[2].out.size(), in.size() - 4000);
}

}  // namespace
