// The real-time stream: its state (two sample rings under one lock, the configuration copied at
// start, the statistics of the stop report), the worker that converts blocks, and the stop that
// cleanup shares with ondrelix_rt_stop. Internal.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "catalogue.h"
#include "common.h"

namespace qv {
constexpr int kRingCapacity = 160000;  // 10 s at 16 kHz, in each ring
}  // namespace qv

// Rings and their positions; every access after start holds g_rt_mutex.
extern int16_t *g_rt_in_buf;
extern int16_t *g_rt_out_buf;
extern int32_t g_rt_in_head, g_rt_in_tail, g_rt_in_count;
extern int32_t g_rt_out_head, g_rt_out_tail, g_rt_out_count;

// Configuration, written by start before the worker exists and read-only while it runs.
extern int32_t g_rt_chunk_samples;
extern int32_t g_rt_mode_dsp;
extern char g_rt_voice_name[qv::kVoiceNameSize];
extern float g_rt_target_emb[qv::kEmbeddingSize];

// Statistics for the stop report, updated under g_rt_mutex while the stream runs.
extern int64_t g_rt_total_in_frames;
extern int64_t g_rt_dropped_frames;
extern int64_t g_rt_total_out_frames;
extern int32_t g_rt_latency_samples;  // latency measurements taken: one per processed block
extern double g_rt_total_latency_ms;
extern double g_rt_start_time;

// Control. The lock and condition variables exist from load to exit (never destroyed), so a
// read before start-up or after teardown, or a thread still running at exit, finds them valid.
extern std::atomic<int> g_rt_running;
extern qv::never_destroyed<std::thread> g_rt_thread;
extern qv::never_destroyed<std::mutex> g_rt_mutex;
extern qv::never_destroyed<std::condition_variable> g_rt_cond_in;
extern qv::never_destroyed<std::condition_variable> g_rt_cond_out;

// The continuous mode, opt-in through the start options ("continuous": true, neural mode only):
// the worker converts overlapping pieces joined without a seam instead of isolated blocks.
struct rt_continuous_config {
  bool on = false;
  int32_t hop = 0;          // model-rate samples per piece
  float gate_rms = 0.0f;    // pieces quieter than this come out silent; 0: no gate
  int32_t max_backlog = 0;  // 16 kHz samples waiting beyond one piece before the oldest is dropped
};
extern rt_continuous_config g_rt_continuous;

// What the continuous worker measured; read by the stop report after the worker has ended.
struct rt_continuous_stats {
  std::vector<double> delay_ms;  // write of an output's input sample to the output's append
  std::vector<double> piece_ms;  // conversion time of each piece
  int64_t gated = 0;
  int64_t rejoins = 0;  // times the oldest input was dropped to keep the delay bounded
};
extern rt_continuous_stats g_rt_continuous_stats;

// Notes, under g_rt_mutex, that the input up to sample `end` (counting from the stream's start)
// was written at `now`; the continuous worker measures its delay from these.
void rt_note_write(int64_t end, double now);
// Clears the write times and the statistics; by start, before the worker exists.
void rt_continuous_reset();
// The delay the continuous mode adds beyond its hop and the conversion, in milliseconds.
double rt_continuous_lookahead_ms();

// Ring transfers of n samples at a position that advances and wraps; callers hold g_rt_mutex
// and have checked the fill.
void rt_ring_store(int16_t *ring, int32_t &tail, const int16_t *src, int32_t n);
void rt_ring_take(const int16_t *ring, int32_t &head, int16_t *dst, int32_t n);

// The worker's entry: takes blocks of g_rt_chunk_samples until the running flag clears; in the
// continuous mode it runs rt_continuous_worker instead.
void rt_worker_thread(void *unused);
void rt_continuous_worker();
// Converts one block of n samples with the stream's configuration (mode, voice, embedding) into
// `out` (room for 2n samples) and returns the number of samples written. The worker's step; the
// benchmarks time it alone.
int32_t rt_convert_block(const int16_t *in, int16_t *out, int32_t n);
// The phase, in radians, at which the modulation oscillator of the next "robot" DSP sample
// starts. It carries over from block to block and from one stream to the next.
float rt_modulation_phase();

// Stops a running stream: clears the running flag, wakes and joins the worker, and publishes the
// stop report (its address goes to `report` when non-null).
void rt_stop_stream(const char **report);
