// Allocation fault injection: the n-th heap allocation the library makes fails, for every n over
// a file conversion, a clone, a stream start and the WAV reader. Each call must fail with a
// message or succeed, and leave nothing allocated. The library's calls to malloc, calloc and free
// are routed here by the linker (--wrap), so only its own allocations are counted.
#include <atomic>
#include <mutex>
#include <set>
#include <string>

#include "audio/wav.h"
#include "engine_fixture.h"

extern "C" void *__real_malloc(size_t);
extern "C" void *__real_calloc(size_t, size_t);
extern "C" void __real_free(void *);

namespace {

std::atomic<bool> g_armed{false};
std::atomic<long> g_countdown{0};
std::atomic<long> g_injected_total{0};
std::mutex g_live_mutex;
std::set<void *> *g_live = new std::set<void *>;  // allocations made while armed, still live

bool should_fail() {
  if (!g_armed.load()) return false;
  if (g_countdown.fetch_sub(1) == 1) {
    ++g_injected_total;
    return true;
  }
  return false;
}

void *track(void *p) {
  if (p && g_armed.load()) {
    std::lock_guard<std::mutex> lock(g_live_mutex);
    g_live->insert(p);
  }
  return p;
}

}  // namespace

extern "C" void *__wrap_malloc(size_t size) {
  return should_fail() ? nullptr : track(__real_malloc(size));
}
extern "C" void *__wrap_calloc(size_t n, size_t size) {
  return should_fail() ? nullptr : track(__real_calloc(n, size));
}
extern "C" void __wrap_free(void *p) {
  if (p) {
    std::lock_guard<std::mutex> lock(g_live_mutex);
    g_live->erase(p);
  }
  __real_free(p);
}

namespace {

struct outcome {
  int rc;
  bool injected;
  size_t leaked;
};

// Runs `op` with the n-th library allocation failing.
template <typename Op>
outcome with_failing_allocation(long n, Op op) {
  {
    std::lock_guard<std::mutex> lock(g_live_mutex);
    g_live->clear();
  }
  g_countdown = n;
  g_armed = true;
  const int rc = op();
  g_armed = false;
  const bool injected = g_countdown.load() <= 0;
  std::lock_guard<std::mutex> lock(g_live_mutex);
  return {rc, injected, g_live->size()};
}

class AllocFaults : public qvt::started_engine_test {
 protected:
  std::string speech = work.file("speech.wav");
  void SetUp() override {
    started_engine_test::SetUp();
    qvt::write_wav_float(speech, qvt::test_tone(16000, 16000.0), 16000);
  }
  // Every n until an operation runs without meeting a failure.
  template <typename Op, typename After>
  void sweep(const char *what, Op op, After after) {
    long n = 1;
    for (;; ++n) {
      set_error("");
      const outcome r = with_failing_allocation(n, op);
      after();
      EXPECT_EQ(r.leaked, 0u) << what << ": allocation " << n << " failing leaked " << r.leaked;
      if (r.rc != 0) EXPECT_STRNE(ondrelix_last_error(), "") << what << ": allocation " << n;
      if (!r.injected) {
        EXPECT_EQ(r.rc, 0) << what << " fails without any injected fault";
        break;
      }
      ASSERT_LT(n, 1000) << what;
    }
    std::printf("%s: %ld allocation faults injected\n", what, n - 1);
  }
};

TEST_F(AllocFaults, WavReader) {
  sweep(
      "wav read",
      [&] {
        qv_wav rec{};
        char err[256] = "";
        const int rc = qv_wav_read(speech.c_str(), &rec, err, sizeof err);
        if (rc != 0) set_error("%s", err);
        qv_wav_free(&rec);
        return rc;
      },
      [] {});
}

TEST_F(AllocFaults, FileConversion) {
  const std::string out = work.file("out.wav");
  sweep(
      "convert",
      [&] { return ondrelix_convert_file(speech.c_str(), out.c_str(), "robot", nullptr); }, [] {});
}

TEST_F(AllocFaults, Clone) {
  sweep(
      "clone", [&] { return ondrelix_load_voice(speech.c_str(), nullptr); }, [] {});
}

TEST_F(AllocFaults, StreamStartWithExistingRings) {
  ASSERT_EQ(ondrelix_rt_start("pass", "{\"mode\":\"dsp\"}"), 0);  // the rings now exist
  ondrelix_rt_stop(nullptr);
  const std::vector<int16_t> block(3200, 100);
  sweep(
      "stream start",
      [&] {
        const int rc = ondrelix_rt_start("deep", nullptr);
        if (rc == 0) {
          ondrelix_rt_write(block.data(), 3200);
          std::this_thread::sleep_for(std::chrono::milliseconds(30));
          ondrelix_rt_stop(nullptr);
        }
        return rc;
      },
      [] {});
}

// The rings are allocated by the first start and kept for the process; a start whose ring
// allocation fails reports it and can be retried.
TEST_F(AllocFaults, StreamStartAllocatingRings) {
  long n = 1;
  for (;; ++n) {
    qvt::stream_state().release_rings();
    const outcome r = with_failing_allocation(n, [] {
      const int rc = ondrelix_rt_start("pass", "{\"mode\":\"dsp\"}");
      ondrelix_rt_stop(nullptr);
      return rc;
    });
    if (!r.injected) break;
    if (r.rc != 0)
      EXPECT_STREQ(ondrelix_last_error(), "Memory allocation failed for real-time ring buffers");
  }
  EXPECT_GE(n, 3);  // both rings, then at least the worker's blocks
  EXPECT_EQ(ondrelix_rt_start("pass", "{\"mode\":\"dsp\"}"), 0);
}

}  // namespace
