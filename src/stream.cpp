// The stream's state and the two calls that move samples through its rings: the host pushes
// 16 kHz input with ondrelix_rt_write and pulls converted samples with ondrelix_rt_read.
#include "stream.h"

#include <chrono>
#include <cstring>

#include "ondrelix.h"
#include "report.h"

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
constexpr auto kReadWait = std::chrono::milliseconds(20);
}  // namespace

void rt_ring_store(int16_t *ring, int32_t &tail, const int16_t *src, int32_t n) {
  const int32_t first = n < qv::kRingCapacity - tail ? n : qv::kRingCapacity - tail;
  std::memcpy(ring + tail, src, static_cast<size_t>(first) * sizeof(int16_t));
  std::memcpy(ring, src + first, static_cast<size_t>(n - first) * sizeof(int16_t));
  tail = (tail + n) % qv::kRingCapacity;
}

void rt_ring_take(const int16_t *ring, int32_t &head, int16_t *dst, int32_t n) {
  const int32_t first = n < qv::kRingCapacity - head ? n : qv::kRingCapacity - head;
  std::memcpy(dst, ring + head, static_cast<size_t>(first) * sizeof(int16_t));
  std::memcpy(dst + first, ring, static_cast<size_t>(n - first) * sizeof(int16_t));
  head = (head + n) % qv::kRingCapacity;
}

extern "C" ONDRELIX_API int ondrelix_rt_write(const int16_t *samples, int count) {
  if (!g_rt_running.load() || !samples || count <= 0) return -1;
  return qv::guard_export(nullptr, -1, [&] {
    std::lock_guard<std::mutex> lock(g_rt_mutex.get());
    // The newest samples of the batch are the ones refused; unread input is never overwritten.
    const int32_t free_space = qv::kRingCapacity - g_rt_in_count;
    const int32_t stored = count <= free_space ? count : free_space;
    if (stored > 0) {
      rt_ring_store(g_rt_in_buf, g_rt_in_tail, samples, stored);
      g_rt_in_count += stored;
      g_rt_total_in_frames += stored;
      if (g_rt_continuous.on) rt_note_write(g_rt_total_in_frames, now_ms());
    }
    g_rt_dropped_frames += count - stored;
    g_rt_cond_in->notify_one();
    return 0;
  });
}

extern "C" ONDRELIX_API int ondrelix_rt_read(int16_t *out, int capacity, int *got) {
  if (!got || capacity <= 0 || !out) return -1;
  *got = 0;
  return qv::guard_export(nullptr, -1, [&] {
    std::unique_lock<std::mutex> lock(g_rt_mutex.get());
    // One wait at most: a host reads in a loop at its own pace.
    if (capacity > g_rt_out_count && g_rt_running.load()) g_rt_cond_out->wait_for(lock, kReadWait);
    const int32_t n = capacity < g_rt_out_count ? capacity : g_rt_out_count;
    // The ring exists whenever it holds samples; before the first stream the count is 0.
    if (n > 0) rt_ring_take(g_rt_out_buf, g_rt_out_head, out, n);
    g_rt_out_count -= n;
    *got = n;
    return 0;
  });
}
