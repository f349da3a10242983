// The stream's worker: takes one block at a time from the input ring, converts it outside the
// lock (DSP effect, or the models at 22050 Hz), and appends the result to the output ring.
#include <chrono>
#include <cstring>

#include "effects.h"
#include "pcm.h"
#include "pipeline.h"
#include "report.h"
#include "resample.h"
#include "stream.h"

namespace {

constexpr auto kWaitSlice = std::chrono::milliseconds(20);

// The modulation oscillator's phase. It belongs to the worker (one at a time) and carries over
// from block to block and from one stream to the next.
float phase = 0.0f;

int32_t convert_dsp(const int16_t *in, int16_t *out, int32_t n) {
  qv_apply_dsp_effect(dsp_effect_for(g_rt_voice_name), in, out, n, phase);
  return n;
}

// 16 kHz block -> 22050 Hz -> pipeline -> 16 kHz. A block the pipeline refuses passes through.
int32_t convert_neural(const int16_t *in, int16_t *out, int32_t n) {
  qv::malloc_ptr<float> block = qv::malloc_array<float>(static_cast<size_t>(n));
  float *up = nullptr;
  int32_t up_count = 0;
  if (block) {
    for (int32_t i = 0; i < n; ++i) block.get()[i] = qv::float_from_pcm16(in[i]);
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
  const int32_t count = down_count < 2 * n ? down_count : 2 * n;  // the output block's room
  for (int32_t i = 0; i < count; ++i) out[i] = qv::pcm16_from_float(down[i]);
  return count;
}

// Waits for a full block or a stop; returns false when the stream stops.
bool take_block(int16_t *block, int32_t n) {
  std::unique_lock<std::mutex> lock(g_rt_mutex.get());
  while (g_rt_running.load() && g_rt_in_count < n) g_rt_cond_in->wait_for(lock, kWaitSlice);
  if (!g_rt_running.load()) return false;
  rt_ring_take(g_rt_in_buf, g_rt_in_head, block, n);
  g_rt_in_count -= n;
  return true;
}

// Appends what fits; the rest of a block is lost and counted nowhere.
void append_output(const int16_t *block, int32_t count, double elapsed_ms) {
  std::lock_guard<std::mutex> lock(g_rt_mutex.get());
  const int32_t free_space = qv::kRingCapacity - g_rt_out_count;
  const int32_t m = count < free_space ? count : free_space;
  if (m > 0) {
    rt_ring_store(g_rt_out_buf, g_rt_out_tail, block, m);
    g_rt_out_count += m;
    g_rt_total_out_frames += m;
  }
  g_rt_latency_samples += 1;
  g_rt_total_latency_ms += elapsed_ms;
  g_rt_cond_out->notify_one();
}

}  // namespace

int32_t rt_convert_block(const int16_t *in, int16_t *out, int32_t n) {
  return g_rt_mode_dsp ? convert_dsp(in, out, n) : convert_neural(in, out, n);
}

float rt_modulation_phase() { return phase; }

void rt_worker_thread(void *) {
  if (g_rt_continuous.on) return rt_continuous_worker();
  const int32_t n = g_rt_chunk_samples;
  qv::malloc_ptr<int16_t> in_block = qv::malloc_array<int16_t>(static_cast<size_t>(n));
  qv::malloc_ptr<int16_t> out_block = qv::malloc_array<int16_t>(2 * static_cast<size_t>(n));
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
