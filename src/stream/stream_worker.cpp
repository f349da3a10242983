// The stream's worker in block mode: takes one block at a time from the input ring, converts it
// outside the lock (DSP effect, or the models at 22050 Hz), and appends the result to the output
// ring. In the continuous mode the continuous worker runs instead.
#include <chrono>
#include <cstring>

#include "conversion/pipeline.h"
#include "engine/report.h"
#include "signal/effects.h"
#include "signal/pcm.h"
#include "signal/resample.h"
#include "stream/stream.h"

namespace qv {

namespace {
constexpr auto kWaitSlice = std::chrono::milliseconds(20);
}  // namespace

void run_continuous_worker(stream &s);

class block_worker {
 public:
  explicit block_worker(stream &s) : s_(s) {}

  void run() {
    const int32_t n = s_.config_.chunk_samples;
    malloc_ptr<int16_t> in_block = malloc_array<int16_t>(static_cast<size_t>(n));
    malloc_ptr<int16_t> out_block = malloc_array<int16_t>(2 * static_cast<size_t>(n));
    if (!in_block || !out_block) {
      // The stream delivers nothing; stopping it still ends it normally.
      s_.worker_failed(status::failure("Memory allocation failed for real-time blocks"));
      return;
    }
    if (!s_.running()) return;
    while (take_block(in_block.get(), n)) {
      const double t0 = now_ms();
      const int32_t count = s_.convert_block(in_block.get(), out_block.get(), n);
      append_output(out_block.get(), count, now_ms() - t0);
      if (!s_.running()) break;
    }
  }

  int32_t convert_dsp(const int16_t *in, int16_t *out, int32_t n) {
    qv_apply_dsp_effect(s_.voice_.dsp_effect, in, out, n, s_.phase_);
    return n;
  }

  // 16 kHz block -> 22050 Hz -> pipeline -> 16 kHz. A block the pipeline refuses passes through.
  int32_t convert_neural(const int16_t *in, int16_t *out, int32_t n) {
    malloc_ptr<float> block = malloc_array<float>(static_cast<size_t>(n));
    float *up = nullptr;
    int32_t up_count = 0;
    if (block) {
      for (int32_t i = 0; i < n; ++i) block.get()[i] = float_from_pcm16(in[i]);
      qv_resample(block.get(), n, kStreamRate, &up, &up_count, kModelRate);
      block.reset();
    }
    malloc_ptr<float> upsampled(up);
    float *converted = nullptr;
    int32_t converted_count = 0;
    const status outcome = run_openvoice_inference(*s_.engine_, up, up_count, s_.voice_.embedding,
                                                   &converted, &converted_count);
    upsampled.reset();
    if (!outcome.ok()) {
      s_.worker_failed(outcome);
      std::memcpy(out, in, static_cast<size_t>(n) * sizeof(int16_t));
      return n;
    }
    float *down = nullptr;
    int32_t down_count = 0;
    qv_resample(converted, converted_count, kModelRate, &down, &down_count, kStreamRate);
    std::free(converted);
    malloc_ptr<float> downsampled(down);
    const int32_t count = down_count < 2 * n ? down_count : 2 * n;  // the output block's room
    for (int32_t i = 0; i < count; ++i) out[i] = pcm16_from_float(down[i]);
    return count;
  }

 private:
  // Waits for a full block or a stop; returns false when the stream stops.
  bool take_block(int16_t *block, int32_t n) {
    std::unique_lock<std::mutex> lock(s_.mutex_);
    while (s_.running() && s_.in_count_ < n) s_.cond_in_.wait_for(lock, kWaitSlice);
    if (!s_.running()) return false;
    s_.ring_take(s_.in_buf_, s_.in_head_, block, n);
    s_.in_count_ -= n;
    return true;
  }

  // Appends what fits; the rest of a block is lost and counted nowhere.
  void append_output(const int16_t *block, int32_t count, double elapsed_ms) {
    std::lock_guard<std::mutex> lock(s_.mutex_);
    const int32_t free_space = kRingCapacity - s_.out_count_;
    const int32_t m = count < free_space ? count : free_space;
    if (m > 0) {
      s_.ring_store(s_.out_buf_, s_.out_tail_, block, m);
      s_.out_count_ += m;
      s_.total_out_frames_ += m;
    }
    s_.latency_samples_ += 1;
    s_.total_latency_ms_ += elapsed_ms;
    s_.cond_out_.notify_one();
  }

  stream &s_;
};

int32_t stream::convert_block(const int16_t *in, int16_t *out, int32_t n) {
  block_worker worker(*this);
  return config_.mode_dsp ? worker.convert_dsp(in, out, n) : worker.convert_neural(in, out, n);
}

void stream::run_worker() {
  if (config_.continuous) return run_continuous_worker(*this);
  block_worker(*this).run();
}

}  // namespace qv
