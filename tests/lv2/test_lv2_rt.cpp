// The LV2 plugin under a host harness: run() allocates nothing once activated (malloc and free
// are counted on the thread inside run()), several instances convert side by side, the latency
// port holds across a change of settings, missing models are said in the host's log, underruns
// are counted, and patch messages are taken.
#include <gtest/gtest.h>
#include <lv2/atom/forge.h>
#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/patch/patch.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lv2_host.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QVT_COUNT_ALLOCATIONS 0  // the sanitizers own malloc
#else
#define QVT_COUNT_ALLOCATIONS 1
#endif

namespace {
std::atomic<long> g_run_allocations{0};
}  // namespace

#if QVT_COUNT_ALLOCATIONS
extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void __libc_free(void *);
extern "C" void *malloc(size_t n) {
  if (lv2_host::in_run) ++g_run_allocations;
  return __libc_malloc(n);
}
extern "C" void *calloc(size_t n, size_t m) {
  if (lv2_host::in_run) ++g_run_allocations;
  return __libc_calloc(n, m);
}
extern "C" void *realloc(void *p, size_t n) {
  if (lv2_host::in_run) ++g_run_allocations;
  return __libc_realloc(p, n);
}
extern "C" void free(void *p) {
  if (lv2_host::in_run && p) ++g_run_allocations;
  __libc_free(p);
}
#endif

namespace {

using namespace lv2_host;

void fill(float *x, uint32_t n, long &t) {
  for (uint32_t i = 0; i < n; ++i, ++t) x[i] = 0.3f * std::sin(0.03f * static_cast<float>(t));
}

class Lv2 : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!descriptor()) GTEST_SKIP() << "the plugin bundle is not built";
    setenv("ONDRELIX_MODELS", ONDRELIX_MODELS_DIR, 1);
  }
};

// Three seconds at real-time pace in both modes: not one allocation inside run(), and the output
// is the input (pass-through voice) once the latency has gone by.
TEST_F(Lv2, RunAllocatesNothingAfterActivation) {
  host hst;
  instance a(hst);
  ASSERT_NE(a.h, nullptr);
  a.d->activate(a.h);
  g_run_allocations = 0;
  long t = 0;
  auto next = std::chrono::steady_clock::now();
  for (int b = 0; b < 3 * 48000 / 256; ++b) {
    if (b == 300) a.voice = 1, a.mode = 0;  // to "deep", neural: the stream restarts
    fill(a.in, kBlock, t);
    a.run();
    next += std::chrono::microseconds(5333);
    std::this_thread::sleep_until(next);
  }
  a.d->deactivate(a.h);
#if QVT_COUNT_ALLOCATIONS
  EXPECT_EQ(g_run_allocations.load(), 0);
#endif
  EXPECT_GT(a.latency, 0);
}

TEST_F(Lv2, PassThroughIsTheInputDelayedByTheLatency) {
  host hst;
  instance a(hst);
  ASSERT_NE(a.h, nullptr);
  a.freewheel = 1;  // offline: run() waits for the conversion
  a.d->activate(a.h);
  std::vector<float> in, out;
  long t = 0;
  for (int b = 0; b < 200; ++b) {
    fill(a.in, kBlock, t);
    a.run();
    in.insert(in.end(), a.in, a.in + kBlock);
    out.insert(out.end(), a.out, a.out + kBlock);
  }
  a.d->deactivate(a.h);
  const auto latency = static_cast<size_t>(a.latency);
  ASSERT_LT(latency, out.size());
  double error = 0, signal = 0;
  for (size_t i = latency; i < out.size(); ++i) {
    error += std::pow(out[i] - in[i - latency], 2);
    signal += std::pow(in[i - latency], 2);
  }
  EXPECT_LT(10 * std::log10(error / signal), -30.0);
  EXPECT_EQ(a.underruns, 0);
}

// A host that hands over NaN (a broken effect before the plugin) gets silence where it was, not
// full-scale clicks.
TEST_F(Lv2, NanInputComesOutAsSilence) {
  host hst;
  instance a(hst);
  ASSERT_NE(a.h, nullptr);
  a.freewheel = 1;
  a.d->activate(a.h);
  long t = 0;
  float loudest = 0.0f;
  for (int b = 0; b < 200; ++b) {
    fill(a.in, kBlock, t);
    if (b >= 50 && b < 52) std::fill(a.in, a.in + kBlock, std::nanf(""));
    a.run();
    for (float v : a.out) {
      ASSERT_TRUE(std::isfinite(v));
      loudest = std::max(loudest, std::fabs(v));
    }
  }
  a.d->deactivate(a.h);
  EXPECT_LT(loudest, 0.5f);  // the input's own peak is 0.3
}

// Control values outside the declared ranges, or NaN, are held to the ranges: a voice beyond the
// table is the last one (pass-through), a hop beyond 1000 ms is 1000 ms, so the plugin reports
// the latency of exactly those settings.
TEST_F(Lv2, ControlsOutsideTheirRangesAreClamped) {
  const auto latency_with = [](float voice, float mode, float hop, float gate) {
    host hst;
    instance a(hst);
    if (!a.h) return -1.0f;
    a.freewheel = 1;
    a.voice = voice, a.mode = mode, a.hop = hop, a.gate = gate;
    a.d->activate(a.h);
    long t = 0;
    for (int b = 0; b < 20; ++b) {
      fill(a.in, kBlock, t);
      a.run();
      for (float v : a.out) EXPECT_TRUE(std::isfinite(v));
    }
    a.d->deactivate(a.h);
    return a.latency;
  };
  const float in_range = latency_with(4, 0, 1000, -120);
  ASSERT_GT(in_range, 0);
  EXPECT_EQ(latency_with(9, 0, 5000, 40), in_range);
  EXPECT_EQ(latency_with(4, std::nanf(""), 1e9f, std::nanf("")), in_range);
}

// The lag at which `out` best matches `in` (searched up to `longest`), and the error there in dB
// against the input's level.
std::pair<size_t, double> best_lag(const std::vector<float> &in, const std::vector<float> &out,
                                   size_t from, size_t longest) {
  size_t best = 0;
  double best_error = 1e300, signal = 1e-30;
  for (size_t lag = 0; lag <= longest; ++lag) {
    double error = 0, level = 0;
    for (size_t i = from; i < out.size(); ++i) {
      error += std::pow(out[i] - in[i - lag], 2);
      level += std::pow(in[i - lag], 2);
    }
    if (error < best_error) best = lag, best_error = error, signal = level;
  }
  return {best, 10 * std::log10(best_error / signal)};
}

// Two instances in one process, each with its own voice, run block by block side by side: the
// pass-through one gives its input delayed by exactly its latency, the "female" one gives a
// converted voice (not its input at any lag), and neither underruns.
TEST_F(Lv2, TwoInstancesBothConvert) {
  host hst;
  instance plain(hst), raised(hst);
  ASSERT_NE(plain.h, nullptr);
  ASSERT_NE(raised.h, nullptr);
  raised.voice = 0;  // "female", DSP mode
  for (instance *i : {&plain, &raised}) {
    i->freewheel = 1;
    i->d->activate(i->h);
  }
  std::vector<float> in, plain_out, raised_out;
  long t = 0;
  for (int b = 0; b < 300; ++b) {
    fill(plain.in, kBlock, t);
    std::copy(plain.in, plain.in + kBlock, raised.in);
    plain.run();
    raised.run();
    in.insert(in.end(), plain.in, plain.in + kBlock);
    plain_out.insert(plain_out.end(), plain.out, plain.out + kBlock);
    raised_out.insert(raised_out.end(), raised.out, raised.out + kBlock);
  }
  for (instance *i : {&plain, &raised}) i->d->deactivate(i->h);
  const auto latency = static_cast<size_t>(plain.latency);
  ASSERT_GT(latency, 0u);
  const auto [lag, error_db] = best_lag(in, plain_out, 2 * latency, 2 * latency);
  EXPECT_EQ(lag, latency);
  EXPECT_LT(error_db, -30.0);
  EXPECT_GT(best_lag(in, raised_out, 2 * latency, 2 * latency).second, -10.0);
  EXPECT_EQ(plain.underruns, 0);
  EXPECT_EQ(raised.underruns, 0);
  EXPECT_EQ(hst.logged().find("another instance"), std::string::npos) << hst.logged();
}

// Settings changed while the plugin runs (the hop, then the mode, then the hop twice in two
// blocks) restart its stream. Freewheeling, each change takes effect at the block that asks for
// it; once the new stream's delay has gone by, the output is the input delayed by exactly what
// the latency port then says, and the switch counts no underrun.
TEST_F(Lv2, LatencyPortHoldsAfterASettingsChange) {
  host hst;
  instance a(hst);
  ASSERT_NE(a.h, nullptr);
  a.freewheel = 1;
  a.d->activate(a.h);
  std::vector<float> in, out;
  std::vector<float> latency_at;  // what the port said for each block
  long t = 0;
  for (int b = 0; b < 600; ++b) {
    if (b == 150) a.hop = 100;              // the hop: a longer delay
    if (b == 300) a.mode = 0, a.voice = 4;  // neural asked for; pass-through stays in DSP mode
    if (b == 450) a.hop = 46;               // back,
    if (b == 451) a.hop = 60;               // and at once another
    fill(a.in, kBlock, t);
    a.run();
    in.insert(in.end(), a.in, a.in + kBlock);
    out.insert(out.end(), a.out, a.out + kBlock);
    latency_at.push_back(a.latency);
  }
  a.d->deactivate(a.h);
  const auto at = [&](int block) { return latency_at[static_cast<size_t>(block)]; };
  EXPECT_LT(at(149), at(150));  // the longer hop's delay from its first block on
  EXPECT_GT(at(449), at(450));
  EXPECT_LT(at(450), at(451));
  for (int change : {150, 300, 450}) {
    // The port's value in the last block before the next change, and the output up to there.
    const auto latency = static_cast<size_t>(at(change + 149));
    const size_t from = static_cast<size_t>(change) * kBlock + 2 * latency;
    std::vector<float> upto(out.begin(), out.begin() + (change + 150) * kBlock);
    ASSERT_LT(from, upto.size()) << change;
    const auto [lag, error_db] = best_lag(in, upto, from, 2 * latency);
    EXPECT_EQ(lag, latency) << "after block " << change;
    EXPECT_LT(error_db, -30.0) << "after block " << change;
  }
  EXPECT_EQ(a.underruns, 0);
}

TEST_F(Lv2, MissingModelsAreSaidInTheLog) {
  setenv("ONDRELIX_MODELS", "/nonexistent-models", 1);
  host hst;
  instance a(hst);
  ASSERT_NE(a.h, nullptr);
  a.d->activate(a.h);
  EXPECT_NE(hst.logged().find("cannot start with models from /nonexistent-models"),
            std::string::npos)
      << hst.logged();
  long t = 0;
  for (int b = 0; b < 4; ++b) {
    fill(a.in, kBlock, t);
    a.run();  // passes the dry signal through, delayed by the latency it reports
  }
  EXPECT_GT(a.latency, 0);
  a.d->deactivate(a.h);
}

// A host that runs faster than the conversion (no freewheeling): the shortfall is silence, and
// counted.
TEST_F(Lv2, UnderrunsAreSilenceAndCounted) {
  host hst;
  instance a(hst);
  ASSERT_NE(a.h, nullptr);
  a.d->activate(a.h);
  long t = 0;
  const auto latency_blocks = 48000 / kBlock;  // more than the latency
  for (int b = 0; b < static_cast<int>(latency_blocks) + 50; ++b) {
    fill(a.in, kBlock, t);
    a.run();
  }
  EXPECT_GT(a.underruns, 0);
  a.d->deactivate(a.h);
}

// A patch:Set of the reference clip through the control port: taken in run() without an
// allocation, cloned by the helper.
TEST_F(Lv2, ReferenceClipByPatchMessage) {
  host hst;
  instance a(hst);
  ASSERT_NE(a.h, nullptr);
  a.voice = 3;  // custom
  a.mode = 0;
  a.d->activate(a.h);
  LV2_Atom_Forge forge;
  lv2_atom_forge_init(&forge, &hst.map);
  lv2_atom_forge_set_buffer(&forge, a.control, sizeof a.control);
  LV2_Atom_Forge_Frame seq_frame, obj_frame;
  lv2_atom_forge_sequence_head(&forge, &seq_frame, 0);
  lv2_atom_forge_frame_time(&forge, 0);
  lv2_atom_forge_object(&forge, &obj_frame, 0, hst.map.map(hst.map.handle, LV2_PATCH__Set));
  lv2_atom_forge_key(&forge, hst.map.map(hst.map.handle, LV2_PATCH__property));
  lv2_atom_forge_urid(
      &forge, hst.map.map(hst.map.handle, "https://quorvane.example/plugins/ondrelix#reference"));
  lv2_atom_forge_key(&forge, hst.map.map(hst.map.handle, LV2_PATCH__value));
  const std::string clip = std::string(ONDRELIX_CORPUS_DIR) + "/spk2_a.wav";
  if (!std::filesystem::exists(clip)) GTEST_SKIP() << "speech corpus not found at " << clip;
  lv2_atom_forge_path(&forge, clip.c_str(), static_cast<uint32_t>(clip.size()));
  lv2_atom_forge_pop(&forge, &obj_frame);
  lv2_atom_forge_pop(&forge, &seq_frame);
  g_run_allocations = 0;
  long t = 0;
  fill(a.in, kBlock, t);
  a.run();
  a.empty_control();
  for (int b = 0; b < 100; ++b) {
    fill(a.in, kBlock, t);
    a.run();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
#if QVT_COUNT_ALLOCATIONS
  EXPECT_EQ(g_run_allocations.load(), 0);
#endif
  EXPECT_EQ(hst.logged().find("cannot clone"), std::string::npos) << hst.logged();
  // The clip is the plugin's reference now: its saved state says so.
  const auto *state =
      static_cast<const LV2_State_Interface *>(a.d->extension_data(LV2_STATE__interface));
  ASSERT_NE(state, nullptr);
  static std::string saved;
  saved.clear();
  const LV2_URID key =
      hst.map.map(hst.map.handle, "https://quorvane.example/plugins/ondrelix#reference");
  state->save(
      a.h,
      [](LV2_State_Handle k, uint32_t stored_key, const void *value, size_t, uint32_t,
         uint32_t) -> LV2_State_Status {
        if (stored_key == *static_cast<LV2_URID *>(k)) saved = static_cast<const char *>(value);
        return LV2_STATE_SUCCESS;
      },
      const_cast<LV2_URID *>(&key), 0, nullptr);
  EXPECT_EQ(saved, clip);
  a.d->deactivate(a.h);
}

}  // namespace
