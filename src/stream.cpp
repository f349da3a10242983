// The real-time stream: two sample rings shared between the host's audio threads and one worker
// that converts fixed-length blocks, plus start, stop and the statistics report.
#include <chrono>
#include <cmath>
#include <cstring>
#include <system_error>

#include "engine.h"
#include "ondrelix.h"
#include "resample.h"

int16_t *g_rt_in_buf = nullptr;
int16_t *g_rt_out_buf = nullptr;
int32_t g_rt_in_head = 0, g_rt_in_tail = 0, g_rt_in_count = 0;
int32_t g_rt_out_head = 0, g_rt_out_tail = 0, g_rt_out_count = 0;
int32_t g_rt_chunk_samples = 3200;
int32_t g_rt_mode_dsp = 0;
char g_rt_voice_name[qv::kVoiceNameSize];
float g_rt_target_emb[qv::kEmbeddingSize];
int64_t g_rt_total_in_frames = 0;
int64_t g_rt_dropped_frames = 0;
int64_t g_rt_total_out_frames = 0;
int32_t g_rt_latency_samples = 0;
double g_rt_total_latency_ms = 0.0;
double g_rt_start_time = 0.0;
std::atomic<int> g_rt_running{0};
qv::never_destroyed<std::thread> g_rt_thread;
qv::never_destroyed<std::mutex> g_rt_mutex;
qv::never_destroyed<std::condition_variable> g_rt_cond_in;
qv::never_destroyed<std::condition_variable> g_rt_cond_out;

namespace {

constexpr auto kWaitSlice = std::chrono::milliseconds(20);
constexpr int32_t kNeuralBlock = 3200;  // 200 ms
constexpr int32_t kDspBlock = 320;      // 20 ms
constexpr int32_t kMinLatencyMs = 20;
constexpr int32_t kMaxLatencyMs = 1000;
constexpr int32_t kSamplesPerMs = qv::kStreamRate / 1000;
constexpr double kRealtimeLimitMs = 80.0;
constexpr float kFemaleFactor = 1.35f;
constexpr float kDeepFactor = 0.75f;
constexpr float kRobotStep = 0.06283186f;  // one cycle per 100 samples: 160 Hz at 16 kHz
constexpr float kTwoPiF = 6.2831855f;

// The robot oscillator's phase. It belongs to the worker (one at a time) and carries over from
// block to block and from one stream to the next.
float phase = 0.0f;

// ---- Ring transfers (callers hold g_rt_mutex) ----

void ring_store(int16_t *ring, int32_t &tail, const int16_t *src, int32_t n) {
  const int32_t first = n < qv::kRingCapacity - tail ? n : qv::kRingCapacity - tail;
  std::memcpy(ring + tail, src, static_cast<size_t>(first) * sizeof(int16_t));
  std::memcpy(ring, src + first, static_cast<size_t>(n - first) * sizeof(int16_t));
  tail = (tail + n) % qv::kRingCapacity;
}

void ring_take(const int16_t *ring, int32_t &head, int16_t *dst, int32_t n) {
  const int32_t first = n < qv::kRingCapacity - head ? n : qv::kRingCapacity - head;
  std::memcpy(dst, ring + head, static_cast<size_t>(first) * sizeof(int16_t));
  std::memcpy(dst + first, ring, static_cast<size_t>(n - first) * sizeof(int16_t));
  head = (head + n) % qv::kRingCapacity;
}

// ---- DSP effects ----

int16_t float_to_pcm(float y) {
  if (y > 1.0f) return 32767;
  return static_cast<int16_t>((y < -1.0f ? -1.0f : y) * 32767.0f);
}

// Reads the block `factor` times faster with linear interpolation; past the end it is silent.
void resample_effect(const int16_t *in, int16_t *out, int32_t n, float factor) {
  for (int32_t i = 0; i < n; ++i) {
    const float pos = static_cast<float>(i) * factor;
    const int32_t k = static_cast<int32_t>(pos);
    if (k + 1 < n) {
      const float frac = pos - static_cast<float>(k);
      float v = static_cast<float>(in[k]) * (1.0f - frac) + frac * static_cast<float>(in[k + 1]);
      if (v > 32767.0f) {
        out[i] = 32767;
        continue;
      }
      if (v < -32768.0f) v = -32768.0f;
      out[i] = static_cast<int16_t>(v);
    } else {
      out[i] = k < n ? in[n - 1] : 0;
    }
  }
}

void robot_effect(const int16_t *in, int16_t *out, int32_t n) {
  for (int32_t i = 0; i < n; ++i) {
    const float x = static_cast<float>(in[i]) * (1.0f / 32768.0f);
    const float s = std::sin(phase);
    phase += kRobotStep;
    if (phase > kTwoPiF) phase -= kTwoPiF;
    out[i] = float_to_pcm((s * 0.4f + 0.6f) * x);
  }
}

int32_t convert_dsp(const int16_t *in, int16_t *out, int32_t n) {
  if (qv::ascii_iequals(g_rt_voice_name, "female"))
    resample_effect(in, out, n, kFemaleFactor);
  else if (qv::ascii_iequals(g_rt_voice_name, "deep"))
    resample_effect(in, out, n, kDeepFactor);
  else if (qv::ascii_iequals(g_rt_voice_name, "robot"))
    robot_effect(in, out, n);
  else
    resample_effect(in, out, n, 1.0f);
  return n;
}

// ---- Neural path ----

// 16 kHz block -> 22050 Hz -> pipeline -> 16 kHz. A block the pipeline refuses passes through.
int32_t convert_neural(const int16_t *in, int16_t *out, int32_t n) {
  qv::malloc_ptr<float> block(static_cast<float *>(std::malloc(static_cast<size_t>(n) * 4)));
  float *up = nullptr;
  int32_t up_count = 0;
  if (block) {
    for (int32_t i = 0; i < n; ++i) block.get()[i] = static_cast<float>(in[i]) * (1.0f / 32768.0f);
    qv_resample(block.get(), n, qv::kStreamRate, &up, &up_count, qv::kModelRate);
    block.reset();
  }
  qv::malloc_ptr<float> upsampled(up);
  float *converted = nullptr;
  int32_t converted_count = 0;
  const int status =
      run_openvoice_inference(up, up_count, g_rt_target_emb, &converted, &converted_count);
  upsampled.reset();
  if (status != 0) {
    std::memcpy(out, in, static_cast<size_t>(n) * sizeof(int16_t));
    return n;
  }
  float *down = nullptr;
  int32_t down_count = 0;
  qv_resample(converted, converted_count, qv::kModelRate, &down, &down_count, qv::kStreamRate);
  std::free(converted);
  qv::malloc_ptr<float> downsampled(down);
  const int32_t count = down_count < 2 * n ? down_count : 2 * n;
  for (int32_t i = 0; i < count; ++i) out[i] = float_to_pcm(down[i]);
  return count;
}

// ---- Worker ----

// Waits for a full block or a stop; returns false when the stream stops.
bool take_block(int16_t *block, int32_t n) {
  std::unique_lock<std::mutex> lock(g_rt_mutex.get());
  while (g_rt_running.load() && g_rt_in_count < n) g_rt_cond_in->wait_for(lock, kWaitSlice);
  if (!g_rt_running.load()) return false;
  ring_take(g_rt_in_buf, g_rt_in_head, block, n);
  g_rt_in_count -= n;
  return true;
}

void append_output(const int16_t *block, int32_t count, double elapsed_ms) {
  std::lock_guard<std::mutex> lock(g_rt_mutex.get());
  const int32_t free_space = qv::kRingCapacity - g_rt_out_count;
  const int32_t m = count < free_space ? count : free_space;
  if (m > 0) ring_store(g_rt_out_buf, g_rt_out_tail, block, m);
  if (m > 0) {
    g_rt_out_count += m;
    g_rt_total_out_frames += m;
  }
  g_rt_latency_samples += 1;
  g_rt_total_latency_ms += elapsed_ms;
  g_rt_cond_out->notify_one();
}

// ---- Start and stop ----

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
      if (v >= kMinLatencyMs && v <= kMaxLatencyMs)
        g_rt_chunk_samples = static_cast<int32_t>(v) * kSamplesPerMs;
    }
  }
  yyjson_doc_free(doc);
}

bool ensure_rings() {
  if (!g_rt_in_buf)
    g_rt_in_buf = static_cast<int16_t *>(std::malloc(qv::kRingCapacity * sizeof(int16_t)));
  if (!g_rt_out_buf)
    g_rt_out_buf = static_cast<int16_t *>(std::malloc(qv::kRingCapacity * sizeof(int16_t)));
  return g_rt_in_buf && g_rt_out_buf;
}

void reset_stream_state() {
  g_rt_in_head = g_rt_in_tail = g_rt_in_count = 0;
  g_rt_out_head = g_rt_out_tail = g_rt_out_count = 0;
  g_rt_total_in_frames = g_rt_total_out_frames = g_rt_dropped_frames = 0;
  g_rt_total_latency_ms = 0.0;
  g_rt_latency_samples = 0;
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

yyjson_mut_doc *build_stop_report(double now) {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  if (!doc) return nullptr;
  yyjson_mut_val *root = yyjson_mut_obj(doc);
  if (!root) return doc;
  yyjson_mut_doc_set_root(doc, root);
  const double avg = g_rt_latency_samples > 0 ? g_rt_total_latency_ms / g_rt_latency_samples : 0.0;
  yyjson_mut_obj_add_real(doc, root, "processed_ms",
                          static_cast<double>(g_rt_total_in_frames) / qv::kStreamRate * 1000.0);
  yyjson_mut_obj_add_real(doc, root, "total_time_ms", now - g_rt_start_time);
  yyjson_mut_obj_add_real(doc, root, "avg_latency_ms", avg);
  yyjson_mut_obj_add_sint(doc, root, "dropped_frames", g_rt_dropped_frames);
  yyjson_mut_obj_add_sint(doc, root, "total_in_frames", g_rt_total_in_frames);
  yyjson_mut_obj_add_sint(doc, root, "total_out_frames", g_rt_total_out_frames);
  yyjson_mut_obj_add_bool(doc, root, "realtime", avg < kRealtimeLimitMs || g_rt_mode_dsp != 0);
  return doc;
}

}  // namespace

int32_t rt_convert_block(const int16_t *in, int16_t *out, int32_t n) {
  return g_rt_mode_dsp ? convert_dsp(in, out, n) : convert_neural(in, out, n);
}

void rt_worker_thread(void *) {
  const int32_t n = g_rt_chunk_samples;
  qv::malloc_ptr<int16_t> in_block(static_cast<int16_t *>(std::malloc(static_cast<size_t>(n) * 2)));
  qv::malloc_ptr<int16_t> out_block(
      static_cast<int16_t *>(std::malloc(static_cast<size_t>(2 * n) * 2)));
  if (!in_block || !out_block) {
    set_error("Memory allocation failed for real-time blocks");
    return;  // the stream delivers nothing; ondrelix_rt_stop still ends it normally
  }
  if (!g_rt_running.load()) return;
  while (take_block(in_block.get(), n)) {
    const double t0 = now_ms();
    const int32_t count = rt_convert_block(in_block.get(), out_block.get(), n);
    append_output(out_block.get(), count, now_ms() - t0);
    if (!g_rt_running.load()) break;
  }
}

void rt_stop_stream(const char **report) {
  g_rt_running.store(0);
  {
    std::lock_guard<std::mutex> lock(g_rt_mutex.get());
    g_rt_cond_in->notify_one();
  }
  if (g_rt_thread->joinable()) g_rt_thread->join();
  publish_report(build_stop_report(now_ms()), report);
}

extern "C" ONDRELIX_API int ondrelix_rt_start(const char *voice, const char *options) {
  try {
    return start_stream(voice, options);
  } catch (...) {
    set_error("Internal error during ondrelix_rt_start");
    return -1;
  }
}

extern "C" ONDRELIX_API int ondrelix_rt_stop(const char **report) {
  if (!g_rt_running.load()) return 0;
  try {
    rt_stop_stream(report);
  } catch (...) {
    // Joining can only fail on a broken thread library; the stream is stopped either way.
  }
  return 0;
}

extern "C" ONDRELIX_API int ondrelix_rt_write(const int16_t *samples, int count) {
  if (!g_rt_running.load() || !samples || count <= 0) return -1;
  try {
    std::lock_guard<std::mutex> lock(g_rt_mutex.get());
    const int32_t free_space = qv::kRingCapacity - g_rt_in_count;
    const int32_t stored = count <= free_space ? count : free_space;
    if (stored > 0) {
      ring_store(g_rt_in_buf, g_rt_in_tail, samples, stored);
      g_rt_in_count += stored;
      g_rt_total_in_frames += stored;
    }
    g_rt_dropped_frames += count - stored;
    g_rt_cond_in->notify_one();
    return 0;
  } catch (...) {
    return -1;
  }
}

extern "C" ONDRELIX_API int ondrelix_rt_read(int16_t *out, int capacity, int *got) {
  if (!got || capacity <= 0 || !out) return -1;
  *got = 0;
  try {
    std::unique_lock<std::mutex> lock(g_rt_mutex.get());
    if (capacity > g_rt_out_count && g_rt_running.load()) g_rt_cond_out->wait_for(lock, kWaitSlice);
    const int32_t n = capacity < g_rt_out_count ? capacity : g_rt_out_count;
    // The ring exists whenever it holds samples; before the first stream the count is 0.
    if (n > 0) ring_take(g_rt_out_buf, g_rt_out_head, out, n);
    g_rt_out_count -= n;
    *got = n;
    return 0;
  } catch (...) {
    return -1;
  }
}
