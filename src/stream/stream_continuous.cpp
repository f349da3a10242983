// The continuous stream: the 16 kHz input brought to the models' rate as one signal, converted
// as overlapping pieces joined without a seam (pieces.h), and brought back to 16 kHz, so that the
// output has one sample for every input sample after a fixed delay. When the input waits longer
// than the configured bound, the oldest is dropped and the stream rejoins with a crossfade.
#include <chrono>
#include <cmath>
#include <new>

#include "conversion/pieces.h"
#include "engine/report.h"
#include "signal/pcm.h"
#include "signal/rate_stream.h"
#include "stream/stream.h"

namespace qv {

namespace {

constexpr auto kWaitSlice = std::chrono::milliseconds(20);
// At the models' rate: 186 ms of context before each hop, and after it the joiner's lookahead
// (stream_constants.h). (Chosen on steady sawtooth and square tones against their file
// conversion; bench/README.md gives the figures.)
constexpr int32_t kContext = 4096;
constexpr int32_t kGrid = 1024;
// The source voice is measured on the last 3 s every 4 pieces: a piece alone is too short to
// tell a voice's pitch and timbre, and measuring each would change them at every join.
constexpr int32_t kEmbeddingWindow = 3 * kModelRate;
constexpr int32_t kEmbeddingEvery = 4;

piece_plan stream_plan(const stream_config &config) {
  return piece_plan{config.hop,  kContext,         kJoinRight,      kGrid,           kJoinCrossfade,
                    kJoinSearch, kEmbeddingWindow, kEmbeddingEvery, config.gate_rms, true};
}

}  // namespace

class continuous_worker {
 public:
  explicit continuous_worker(stream &s)
      : s_(s), pieces_(*s.engine_, stream_plan(s.config_), s.voice_.embedding) {}

  void run() {
    while (take_input()) {
      const size_t pieces_before = pieces_.piece_ms().size();
      convert();
      append(pieces_before);
      if (!s_.running()) break;
    }
    s_.continuous_stats_.piece_ms = pieces_.piece_ms();
    s_.continuous_stats_.gated = pieces_.gated();
  }

 private:
  // 16 kHz samples still missing before the next piece can be converted.
  int64_t missing() const {
    return std::max<int64_t>(0, up_.inputs_for(pieces_.input_needed()) - up_.received());
  }

  // Waits for the next piece's input and takes it; false when the stream stops.
  bool take_input() {
    std::unique_lock<std::mutex> lock(s_.mutex_);
    while (s_.running() && s_.in_count_ < missing()) s_.cond_in_.wait_for(lock, kWaitSlice);
    if (!s_.running()) return false;
    if (s_.in_count_ - missing() > s_.config_.max_backlog) drop_oldest();
    const int64_t n = missing();
    block_.resize(static_cast<size_t>(n));
    s_.ring_take(s_.in_buf_, s_.in_head_, block_.data(), static_cast<int32_t>(n));
    s_.in_count_ -= static_cast<int32_t>(n);
    return true;
  }

  // The host or the machine fell behind: the next piece starts at the newest input, and what
  // waited before it (the oldest) is dropped. Called under the stream's lock.
  void drop_oldest() {
    const int64_t lookahead = pieces_.rejoin();
    const int64_t keep = missing();
    const int64_t drop = std::max<int64_t>(0, s_.in_count_ - keep);
    s_.in_head_ = static_cast<int32_t>((s_.in_head_ + drop) % kRingCapacity);
    s_.in_count_ -= static_cast<int32_t>(drop);
    // The skipped lookahead was taken but never comes out: it counts as dropped too.
    const int64_t lost =
        drop + std::llround(static_cast<double>(lookahead) * kStreamRate / kModelRate);
    s_.dropped_frames_ += lost;
    skipped_ += lost;
    ++s_.continuous_stats_.rejoins;
  }

  void convert() {
    at_stream_.resize(block_.size());
    for (size_t i = 0; i < block_.size(); ++i) at_stream_[i] = float_from_pcm16(block_[i]);
    up_.push(at_stream_.data(), at_stream_.size());
    at_model_.clear();
    up_.pull(at_model_);
    pieces_.push(at_model_.data(), at_model_.size());
    joined_.clear();
    // Refused pieces pass through, so this cannot fail.
    static_cast<void>(pieces_.convert_ready(joined_));
    down_.push(joined_.data(), joined_.size());
    back_.clear();
    down_.pull(back_);
    pcm_.resize(back_.size());
    for (size_t i = 0; i < back_.size(); ++i) pcm_[i] = pcm16_from_float(back_[i]);
  }

  void append(size_t pieces_before) {
    const std::vector<double> &times = pieces_.piece_ms();
    double elapsed = 0.0;
    for (size_t i = pieces_before; i < times.size(); ++i) elapsed += times[i];
    std::lock_guard<std::mutex> lock(s_.mutex_);
    const auto count = static_cast<int32_t>(pcm_.size());
    const int32_t free_space = kRingCapacity - s_.out_count_;
    const int32_t m = count < free_space ? count : free_space;
    if (m > 0) {
      s_.ring_store(s_.out_buf_, s_.out_tail_, pcm_.data(), m);
      s_.out_count_ += m;
      s_.total_out_frames_ += m;
    }
    if (count > 0) {
      // Output sample j carries input sample j + skipped: its delay is from that write to now.
      const int64_t first_out = down_.produced() - count;
      const double written = s_.write_time_of(first_out + skipped_);
      if (written >= 0) s_.continuous_stats_.delay_ms.push_back(now_ms() - written);
    }
    s_.latency_samples_ += static_cast<int32_t>(times.size() - pieces_before);
    s_.total_latency_ms_ += elapsed;
    s_.cond_out_.notify_one();
  }

  stream &s_;
  piece_converter pieces_;
  qv_rate_stream up_{kStreamRate, kModelRate};
  qv_rate_stream down_{kModelRate, kStreamRate};
  int64_t skipped_ = 0;  // input samples that give no output (dropped, skipped lookahead)
  std::vector<int16_t> block_, pcm_;
  std::vector<float> at_stream_, at_model_, joined_, back_;
};

void run_continuous_worker(stream &s) {
  try {
    continuous_worker worker(s);
    worker.run();
  } catch (const std::bad_alloc &) {
    s.worker_failed(status::failure("Memory allocation failed for real-time blocks"));
  }
}

}  // namespace qv
