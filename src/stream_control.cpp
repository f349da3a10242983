// Starting a stream (voice, options, rings, worker) and stopping it with its statistics report.
#include <yyjson.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <vector>

#include "catalogue.h"
#include "ondrelix.h"
#include "report.h"
#include "runtime.h"
#include "stream.h"

namespace {

constexpr int32_t kNeuralBlock = 3200;  // 200 ms
constexpr int32_t kDspBlock = 320;      // 20 ms
constexpr int32_t kMinLatencyMs = 20;
constexpr int32_t kMaxLatencyMs = 1000;
constexpr int32_t kSamplesPerMs = qv::kStreamRate / 1000;
constexpr double kRealtimeLimitMs = 80.0;
// The continuous mode's own keys.
constexpr int32_t kDefaultHop = 1024;  // model-rate samples: 46.4 ms
constexpr double kMinGateDb = -120.0;
constexpr int32_t kMinMaxDelayMs = 50;
constexpr int32_t kMaxMaxDelayMs = 10000;
constexpr int32_t kDefaultMaxDelayMs = 500;

// The continuous mode's keys, which a host of the block mode never sends: "continuous" (true;
// not with "mode" "dsp"), "gate_db" (a level from -120 to 0 dB below which a piece comes out
// silent) and "max_delay_ms" (50 to 10000: input waiting longer is dropped, oldest first).
void apply_continuous_options(yyjson_val *root) {
  yyjson_val *continuous = yyjson_obj_get(root, "continuous");
  g_rt_continuous.on = yyjson_is_true(continuous) && !g_rt_mode_dsp;
  yyjson_val *gate = yyjson_obj_get(root, "gate_db");
  if (yyjson_is_num(gate)) {
    const double db = yyjson_get_num(gate);
    if (db >= kMinGateDb && db <= 0.0)
      g_rt_continuous.gate_rms = static_cast<float>(std::pow(10.0, db / 20.0));
  }
  yyjson_val *max_delay = yyjson_obj_get(root, "max_delay_ms");
  if (yyjson_is_uint(max_delay)) {
    const uint64_t v = yyjson_get_uint(max_delay);
    if (v >= kMinMaxDelayMs && v <= kMaxMaxDelayMs)
      g_rt_continuous.max_backlog = static_cast<int32_t>(v) * kSamplesPerMs;
  }
}

// Only a JSON object counts, and in it the first "mode" and "latency_ms"; anything unusable is
// ignored without a message.
void apply_options(const char *options) {
  if (!options || !options[0]) return;
  yyjson_doc *doc =
      yyjson_read_opts(const_cast<char *>(options), std::strlen(options), 0, nullptr, nullptr);
  yyjson_val *root = yyjson_doc_get_root(doc);
  if (yyjson_is_obj(root)) {
    yyjson_val *mode = yyjson_obj_get(root, "mode");
    if (yyjson_is_str(mode) && qv::ascii_iequals(yyjson_get_str(mode), "dsp")) {
      g_rt_mode_dsp = 1;
      g_rt_chunk_samples = kDspBlock;
    }
    yyjson_val *latency = yyjson_obj_get(root, "latency_ms");
    if (yyjson_is_uint(latency)) {
      const uint64_t v = yyjson_get_uint(latency);
      if (v >= kMinLatencyMs && v <= kMaxLatencyMs) {
        g_rt_chunk_samples = static_cast<int32_t>(v) * kSamplesPerMs;
        // In the continuous mode the same value is the hop between pieces.
        g_rt_continuous.hop =
            static_cast<int32_t>(std::lround(static_cast<double>(v) * qv::kModelRate / 1000.0));
      }
    }
    apply_continuous_options(root);
  }
  yyjson_doc_free(doc);
}

// The rings are allocated by the first start and kept for the life of the process.
bool ensure_rings() {
  if (!g_rt_in_buf)
    g_rt_in_buf = static_cast<int16_t *>(std::malloc(qv::kRingCapacity * sizeof(int16_t)));
  if (!g_rt_out_buf)
    g_rt_out_buf = static_cast<int16_t *>(std::malloc(qv::kRingCapacity * sizeof(int16_t)));
  return g_rt_in_buf && g_rt_out_buf;
}

// Before the worker exists, so without the lock.
void reset_stream_state() {
  g_rt_in_head = g_rt_in_tail = g_rt_in_count = 0;
  g_rt_out_head = g_rt_out_tail = g_rt_out_count = 0;
  g_rt_total_in_frames = g_rt_total_out_frames = g_rt_dropped_frames = 0;
  g_rt_total_latency_ms = 0.0;
  g_rt_latency_samples = 0;
  rt_continuous_reset();
}

int start_stream(const char *voice, const char *options) {
  if (!g_initialized) {
    set_error("ondrelix is not initialized");
    return -1;
  }
  if (g_rt_running.load()) {
    set_error("Real-time streaming is already running");
    return -1;
  }
  const char *name = (!voice || !voice[0]) ? "female" : voice;
  if (qv::ascii_iequals(name, "custom") && !g_custom_loaded) {
    set_error("Custom voice selected but no reference audio loaded (ondrelix_load_voice)");
    return -1;
  }
  std::snprintf(g_rt_voice_name, sizeof g_rt_voice_name, "%s", name);
  std::memcpy(g_rt_target_emb, get_voice_embedding(g_rt_voice_name), sizeof g_rt_target_emb);
  g_rt_mode_dsp = 0;
  g_rt_chunk_samples = kNeuralBlock;
  g_rt_continuous =
      rt_continuous_config{false, kDefaultHop, 0.0f, kDefaultMaxDelayMs * kSamplesPerMs};
  apply_options(options);
  if (!ensure_rings()) {
    set_error("Memory allocation failed for real-time ring buffers");
    return -1;
  }
  reset_stream_state();
  g_rt_start_time = now_ms();
  g_rt_running.store(1);
  try {
    g_rt_thread.get() = std::thread(rt_worker_thread, nullptr);
  } catch (const std::system_error &) {
    g_rt_running.store(0);
    set_error("Failed to create real-time worker thread");
    return -1;
  }
  return 0;
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// After the keys every stop report has, the continuous mode says what a host tuning its latency
// needs.
void add_continuous_keys(qv::report_builder &report) {
  const rt_continuous_stats &s = g_rt_continuous_stats;
  report.boolean("continuous", true)
      .real("hop_ms", g_rt_continuous.hop * 1000.0 / qv::kModelRate)
      .real("lookahead_ms", rt_continuous_lookahead_ms())
      .real("delay_ms", percentile(s.delay_ms, 0.5))
      .real("delay_p99_ms", percentile(s.delay_ms, 0.99))
      .real("piece_p99_ms", percentile(s.piece_ms, 0.99))
      .integer("pieces", static_cast<int64_t>(s.piece_ms.size()))
      .integer("gated_pieces", s.gated)
      .integer("rejoins", s.rejoins);
}

void publish_stop_report(double now, const char **report) {
  const double avg = g_rt_latency_samples > 0 ? g_rt_total_latency_ms / g_rt_latency_samples : 0.0;
  qv::report_builder builder;
  builder.real("processed_ms", static_cast<double>(g_rt_total_in_frames) / qv::kStreamRate * 1000.0)
      .real("total_time_ms", now - g_rt_start_time)
      .real("avg_latency_ms", avg)
      .integer("dropped_frames", g_rt_dropped_frames)
      .integer("total_in_frames", g_rt_total_in_frames)
      .integer("total_out_frames", g_rt_total_out_frames)
      .boolean("realtime", avg < kRealtimeLimitMs || g_rt_mode_dsp != 0);
  if (g_rt_continuous.on) add_continuous_keys(builder);
  builder.publish(report);
}

}  // namespace

void rt_stop_stream(const char **report) {
  g_rt_running.store(0);
  {
    std::lock_guard<std::mutex> lock(g_rt_mutex.get());
    g_rt_cond_in->notify_one();  // a worker in its timed wait wakes at once
  }
  if (g_rt_thread->joinable()) g_rt_thread->join();
  publish_stop_report(now_ms(), report);
}

extern "C" ONDRELIX_API int ondrelix_rt_start(const char *voice, const char *options) {
  return qv::guard_export("ondrelix_rt_start", -1, [&] { return start_stream(voice, options); });
}

extern "C" ONDRELIX_API int ondrelix_rt_stop(const char **report) {
  if (!g_rt_running.load()) return 0;
  // Joining can only fail on a broken thread library; the stream is stopped either way.
  return qv::guard_export(nullptr, 0, [&] {
    rt_stop_stream(report);
    return 0;
  });
}
