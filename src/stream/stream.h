// A real-time stream on an engine: two sample rings under one lock, the worker thread that
// converts what comes in (block by block, or continuously in overlapping pieces), the
// configuration it was started with and the statistics of its stop report. Several streams may
// run on one engine at once. Internal.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "common.h"
#include "engine/catalogue.h"
#include "engine/engine.h"
#include "engine/status.h"
#include "stream/stream_config.h"

namespace qv {

constexpr int kRingCapacity = 160000;  // 10 s at 16 kHz, in each ring

// What the continuous worker measured; read by the stop report after the worker has ended.
struct continuous_stats {
  std::vector<double> delay_ms;  // write of an output's input sample to the output's append
  std::vector<double> piece_ms;  // conversion time of each piece
  int64_t gated = 0;
  int64_t rejoins = 0;  // times the oldest input was dropped to keep the delay bounded
};

class stream {
 public:
  stream() = default;
  ~stream();
  stream(const stream &) = delete;
  stream &operator=(const stream &) = delete;

  // Starts converting to `voice_name` ("female" when null or empty) with the start options (JSON
  // text, or null). The engine must outlive the stream's run. When `report_errors` is set, the
  // worker's failures become the interface's last error.
  status start(const engine &engine, const char *voice_name, const char *options,
               bool report_errors = false);
  // Starts with a voice already resolved (a plugin's own clone, for example).
  status start(const engine &engine, const voice &voice, const stream_config &config,
               bool report_errors = false);
  // Clears the running flag, wakes and joins the worker. The statistics stay for the report.
  void stop();
  bool running() const { return running_.load() != 0; }

  // Pushes 16 kHz mono input (0, or -1 when the stream is not running or the arguments are not
  // usable). What does not fit in the ring is refused, newest first, and counted as dropped.
  int write(const int16_t *samples, int count);
  // Pulls up to `capacity` converted samples, waiting at most 20 ms for them (0, or -1 for
  // unusable arguments); `got` receives the count.
  int read(int16_t *out, int capacity, int *got);

  // The stop report (the keys every stream has, then the continuous mode's), into the
  // interface's report buffer.
  void publish_stop_report(const char **report) const;

  // Takes a voice and a configuration without starting: convert_block() then runs the worker's
  // step alone (the benchmarks time it so). Not while the stream runs.
  void prepare(const engine &engine, const voice &voice, const stream_config &config);

  const stream_config &config() const { return config_; }
  const voice &target() const { return voice_; }
  // Converts one block of n samples with the stream's configuration into `out` (room for 2n
  // samples) and returns the number of samples written. The block worker's step; the benchmarks
  // time it alone.
  int32_t convert_block(const int16_t *in, int16_t *out, int32_t n);
  // The phase, in radians, at which the modulation oscillator of the next "robot" DSP sample
  // starts. It carries over from block to block and from one run of the stream to the next.
  float modulation_phase() const { return phase_; }
  // The delay the continuous mode adds beyond its hop and the conversion, in milliseconds.
  static double continuous_lookahead_ms();

 private:
  friend class block_worker;
  friend class continuous_worker;
  friend void run_continuous_worker(stream &s);
  friend struct stream_test_access;

  bool ensure_rings();
  void reset_counters();
  void run_worker();
  void note_write(int64_t end, double now);
  double write_time_of(int64_t index) const;
  void worker_failed(const status &failure);
  void ring_store(int16_t *ring, int32_t &tail, const int16_t *src, int32_t n);
  void ring_take(const int16_t *ring, int32_t &head, int16_t *dst, int32_t n);

  const engine *engine_ = nullptr;
  bool report_errors_ = false;
  stream_config config_;
  voice voice_{};  // g_rt_voice_name, g_rt_target_emb

  // Rings and their positions (g_rt_in_buf ...); every access after start holds mutex_. The
  // rings are allocated by the first start and kept until the stream is destroyed.
  int16_t *in_buf_ = nullptr;
  int16_t *out_buf_ = nullptr;
  int32_t in_head_ = 0, in_tail_ = 0, in_count_ = 0;
  int32_t out_head_ = 0, out_tail_ = 0, out_count_ = 0;

  // Statistics for the stop report, updated under mutex_ while the stream runs.
  int64_t total_in_frames_ = 0;
  int64_t dropped_frames_ = 0;
  int64_t total_out_frames_ = 0;
  int32_t latency_samples_ = 0;  // latency measurements taken: one per processed block or piece
  double total_latency_ms_ = 0.0;
  double start_time_ = 0.0;
  continuous_stats continuous_stats_;
  // When input was written: (samples written in all, time) of the last writes, under mutex_;
  // the continuous worker measures its delay from these.
  static constexpr int kWriteMarks = 1024;
  struct write_mark {
    int64_t end;
    double time;
  };
  std::vector<write_mark> marks_;
  int mark_next_ = 0;
  int mark_count_ = 0;

  float phase_ = 0.0f;  // the "robot" DSP modulation oscillator; the worker's alone

  // Control.
  std::atomic<int> running_{0};
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cond_in_;   // input available or stop requested
  std::condition_variable cond_out_;  // output available
};

}  // namespace qv
