// Long runs and stress: ten minutes of audio through a pass-through stream, many start/stop and
// init/cleanup cycles, and file work on the host thread while a neural stream runs.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "engine_fixture.h"

namespace {

constexpr int64_t kTenMinutes = 10 * 60 * 16000;

class Soak : public qvt::started_engine_test {};

int16_t sample_at(int64_t i) { return static_cast<int16_t>((i * 7919) % 65536 - 32768); }

// Two minutes through the continuous mode, with a converter that refuses every piece (so pieces
// pass through and the test sees the input again): a writer and a reader thread, as fast as it
// goes. All but the last lookahead comes back, nothing is dropped, and the counters agree.
TEST_F(Soak, TwoMinutesThroughTheContinuousMode) {
  constexpr int64_t kTwoMinutes = 2 * 60 * 16000;
  qvt::models_dir reject("reject_converter");
  init(reject.str());
  ASSERT_EQ(ondrelix_rt_start("deep", "{\"continuous\":true,\"max_delay_ms\":10000}"), 0);
  std::atomic<int64_t> written{0}, read{0};
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    std::vector<int16_t> chunk(777);
    while (written < kTwoMinutes) {
      if (written - read > 48000) {  // 3 s in flight at the most: no drops
        std::this_thread::sleep_for(std::chrono::microseconds(500));
        continue;
      }
      const int n = static_cast<int>(std::min<int64_t>(777, kTwoMinutes - written));
      for (int i = 0; i < n; ++i) chunk[i] = static_cast<int16_t>(sample_at(written + i) / 4);
      ASSERT_EQ(ondrelix_rt_write(chunk.data(), n), 0);
      written += n;
    }
    writing = false;
  });
  std::thread reader([&] {
    std::vector<int16_t> buf(4096);
    auto idle_since = std::chrono::steady_clock::now();
    while (writing || std::chrono::steady_clock::now() - idle_since < std::chrono::seconds(1)) {
      int got = 0;
      ASSERT_EQ(ondrelix_rt_read(buf.data(), 4096, &got), 0);
      if (got > 0) idle_since = std::chrono::steady_clock::now();
      read += got;
    }
  });
  writer.join();
  reader.join();
  const char *report = nullptr;
  ondrelix_rt_stop(&report);
  qvt::json r(report);
  EXPECT_EQ(yyjson_get_sint(r.get("total_in_frames")), kTwoMinutes);
  EXPECT_EQ(yyjson_get_sint(r.get("dropped_frames")), 0);
  EXPECT_EQ(yyjson_get_sint(r.get("total_out_frames")), read.load());
  EXPECT_GE(read.load(), kTwoMinutes - 1400);
  EXPECT_LE(read.load(), kTwoMinutes);
}

// A writer and a reader thread move ten minutes of audio through a pass-through stream as fast
// as it goes; every sample must come back once, in order, and the counters must agree.
TEST_F(Soak, TenMinutesOfAudioPassThroughIntact) {
  ASSERT_EQ(ondrelix_rt_start("passthrough", "{\"mode\":\"dsp\"}"), 0);
  std::atomic<int64_t> written{0}, read{0};
  std::atomic<int64_t> first_mismatch{-1};
  std::thread writer([&] {
    std::vector<int16_t> chunk(1600);
    while (written < kTenMinutes) {
      // Keep well inside the 10 s ring, so nothing is dropped however the threads are scheduled.
      if (written - read > 100000) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        continue;
      }
      const int n = static_cast<int>(std::min<int64_t>(1600, kTenMinutes - written));
      for (int i = 0; i < n; ++i) chunk[i] = sample_at(written + i);
      ASSERT_EQ(ondrelix_rt_write(chunk.data(), n), 0);
      written += n;
    }
  });
  std::thread reader([&] {
    std::vector<int16_t> buf(4096);
    while (read < kTenMinutes) {
      int got = 0;
      ASSERT_EQ(ondrelix_rt_read(buf.data(), 4096, &got), 0);
      for (int i = 0; i < got; ++i)
        if (buf[i] != sample_at(read + i) && first_mismatch < 0) first_mismatch = read + i;
      read += got;
    }
  });
  writer.join();
  reader.join();
  const char *report = nullptr;
  ondrelix_rt_stop(&report);
  EXPECT_EQ(first_mismatch.load(), -1);
  EXPECT_EQ(read.load(), kTenMinutes);
  qvt::json r(report);
  EXPECT_EQ(yyjson_get_sint(r.get("total_in_frames")), kTenMinutes);
  EXPECT_EQ(yyjson_get_sint(r.get("total_out_frames")), kTenMinutes);
  EXPECT_EQ(yyjson_get_sint(r.get("dropped_frames")), 0);
  EXPECT_DOUBLE_EQ(r.num("processed_ms"), 600000.0);
}

TEST_F(Soak, ThousandStartStopCycles) {
  const std::vector<int16_t> block(640, 1234);
  for (int i = 0; i < 1000; ++i) {
    ASSERT_EQ(ondrelix_rt_start(i % 3 ? "deep" : "robot", i % 2 ? "{\"mode\":\"dsp\"}" : nullptr),
              0)
        << i;
    ondrelix_rt_write(block.data(), 640);
    const char *report = nullptr;
    ASSERT_EQ(ondrelix_rt_stop(&report), 0);
    ASSERT_NE(report, nullptr);
  }
}

TEST_F(Soak, HundredInitCleanupCyclesWithAStreamRunning) {
  const std::vector<int16_t> block(3200, 500);
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(ondrelix_init(models.str().c_str(), nullptr), 0)
        << i << ": " << ondrelix_last_error();
    ASSERT_EQ(ondrelix_rt_start("deep", i % 2 ? "{\"mode\":\"dsp\"}" : nullptr), 0) << i;
    ondrelix_rt_write(block.data(), 3200);
    if (i % 2) ondrelix_cleanup();  // otherwise the next init tears the engine down itself
  }
}

// The host thread converts and clones while a neural stream runs on the same model sessions.
TEST_F(Soak, FileWorkWhileANeuralStreamRuns) {
  qvt::temp_dir work;
  const std::string in = work.file("in.wav");
  qvt::write_wav_float(in, qvt::test_tone(22050), 22050);
  ASSERT_EQ(ondrelix_rt_start("deep", nullptr), 0);
  std::atomic<bool> streaming{true};
  std::atomic<int64_t> received{0};
  std::thread feeder([&] {
    std::vector<int16_t> chunk(320, 2000);
    int16_t buf[2048];
    while (streaming) {
      ondrelix_rt_write(chunk.data(), 320);
      int got = 0;
      ondrelix_rt_read(buf, 2048, &got);
      received += got;
    }
  });
  // At least twenty of each, and on until the stream has converted blocks meanwhile.
  for (int i = 0; i < 20 || (received == 0 && i < 1000); ++i) {
    ASSERT_EQ(ondrelix_convert_file(in.c_str(), work.file("out.wav").c_str(), "robot", nullptr), 0)
        << ondrelix_last_error();
    ASSERT_EQ(ondrelix_load_voice(in.c_str(), nullptr), 0) << ondrelix_last_error();
  }
  streaming = false;
  feeder.join();
  const char *report = nullptr;
  ondrelix_rt_stop(&report);
  qvt::json r(report);
  EXPECT_GT(received.load(), 0);
  EXPECT_GE(yyjson_get_sint(r.get("total_out_frames")), received.load());
}

}  // namespace
