// The continuous stream: the 16 kHz input brought to the models' rate as one signal, converted
// as overlapping pieces joined without a seam (pieces.h), and brought back to 16 kHz, so that the
// output has one sample for every input sample after a fixed delay. When the input waits longer
// than the configured bound, the oldest is dropped and the stream rejoins with a crossfade.
#include <chrono>
#include <cmath>
#include <new>

#include "pcm.h"
#include "pieces.h"
#include "rate_stream.h"
#include "report.h"
#include "stream.h"

rt_continuous_config g_rt_continuous;
rt_continuous_stats g_rt_continuous_stats;

namespace {

constexpr auto kWaitSlice = std::chrono::milliseconds(20);
// At the models' rate: 186 ms of context before each hop, and after it the joiner's 11.6 ms
// crossfade, 11.6 ms search and one more frame, so that the tail is not at the window's
// reflected end. (Chosen on steady sawtooth and square tones against their file conversion;
// bench/README.md gives the figures.)
constexpr int32_t kContext = 4096;
constexpr int32_t kCrossfade = 256;
constexpr int32_t kSearch = 256;
constexpr int32_t kRight = 256;
constexpr int32_t kGrid = 1024;
// The source voice is measured on the last 3 s every 4 pieces: a piece alone is too short to
// tell a voice's pitch and timbre, and measuring each would change them at every join.
constexpr int32_t kEmbeddingWindow = 3 * qv::kModelRate;
constexpr int32_t kEmbeddingEvery = 4;

// When input was written: (samples written in all, time) of the last writes, under g_rt_mutex.
constexpr int kWriteMarks = 1024;
struct write_mark {
  int64_t end;
  double time;
};
write_mark g_marks[kWriteMarks];
int g_mark_next = 0;
int g_mark_count = 0;

// The time input sample `index` was written, or a negative value when it is no longer known.
// Called under g_rt_mutex.
double write_time_of(int64_t index) {
  const int oldest = (g_mark_next - g_mark_count + kWriteMarks) % kWriteMarks;
  for (int k = 0; k < g_mark_count; ++k) {
    const write_mark &m = g_marks[(oldest + k) % kWriteMarks];
    if (m.end > index) return m.time;
  }
  return -1.0;
}

piece_plan stream_plan() {
  return piece_plan{g_rt_continuous.hop,
                    kContext,
                    kRight,
                    kGrid,
                    kCrossfade,
                    kSearch,
                    kEmbeddingWindow,
                    kEmbeddingEvery,
                    g_rt_continuous.gate_rms,
                    true};
}

class continuous_worker {
 public:
  continuous_worker() : pieces_(stream_plan(), g_rt_target_emb) {}

  void run() {
    while (take_input()) {
      const size_t pieces_before = pieces_.piece_ms().size();
      convert();
      append(pieces_before);
      if (!g_rt_running.load()) break;
    }
    g_rt_continuous_stats.piece_ms = pieces_.piece_ms();
    g_rt_continuous_stats.gated = pieces_.gated();
  }

 private:
  // 16 kHz samples still missing before the next piece can be converted.
  int64_t missing() const {
    return std::max<int64_t>(0, up_.inputs_for(pieces_.input_needed()) - up_.received());
  }

  // Waits for the next piece's input and takes it; false when the stream stops.
  bool take_input() {
    std::unique_lock<std::mutex> lock(g_rt_mutex.get());
    while (g_rt_running.load() && g_rt_in_count < missing())
      g_rt_cond_in->wait_for(lock, kWaitSlice);
    if (!g_rt_running.load()) return false;
    if (g_rt_in_count - missing() > g_rt_continuous.max_backlog) drop_oldest();
    const int64_t n = missing();
    block_.resize(static_cast<size_t>(n));
    rt_ring_take(g_rt_in_buf, g_rt_in_head, block_.data(), static_cast<int32_t>(n));
    g_rt_in_count -= static_cast<int32_t>(n);
    return true;
  }

  // The host or the machine fell behind: the next piece starts at the newest input, and what
  // waited before it (the oldest) is dropped. Called under g_rt_mutex.
  void drop_oldest() {
    const int64_t lookahead = pieces_.rejoin();
    const int64_t keep = missing();
    const int64_t drop = std::max<int64_t>(0, g_rt_in_count - keep);
    g_rt_in_head = static_cast<int32_t>((g_rt_in_head + drop) % qv::kRingCapacity);
    g_rt_in_count -= static_cast<int32_t>(drop);
    // The skipped lookahead was taken but never comes out: it counts as dropped too.
    const int64_t lost =
        drop + std::llround(static_cast<double>(lookahead) * qv::kStreamRate / qv::kModelRate);
    g_rt_dropped_frames += lost;
    skipped_ += lost;
    ++g_rt_continuous_stats.rejoins;
  }

  void convert() {
    at_stream_.resize(block_.size());
    for (size_t i = 0; i < block_.size(); ++i) at_stream_[i] = qv::float_from_pcm16(block_[i]);
    up_.push(at_stream_.data(), at_stream_.size());
    at_model_.clear();
    up_.pull(at_model_);
    pieces_.push(at_model_.data(), at_model_.size());
    joined_.clear();
    pieces_.convert_ready(joined_);  // refused pieces pass through, so this cannot fail
    down_.push(joined_.data(), joined_.size());
    back_.clear();
    down_.pull(back_);
    pcm_.resize(back_.size());
    for (size_t i = 0; i < back_.size(); ++i) pcm_[i] = qv::pcm16_from_float(back_[i]);
  }

  void append(size_t pieces_before) {
    const std::vector<double> &times = pieces_.piece_ms();
    double elapsed = 0.0;
    for (size_t i = pieces_before; i < times.size(); ++i) elapsed += times[i];
    std::lock_guard<std::mutex> lock(g_rt_mutex.get());
    const auto count = static_cast<int32_t>(pcm_.size());
    const int32_t free_space = qv::kRingCapacity - g_rt_out_count;
    const int32_t m = count < free_space ? count : free_space;
    if (m > 0) {
      rt_ring_store(g_rt_out_buf, g_rt_out_tail, pcm_.data(), m);
      g_rt_out_count += m;
      g_rt_total_out_frames += m;
    }
    if (count > 0) {
      // Output sample j carries input sample j + skipped: its delay is from that write to now.
      const int64_t first_out = down_.produced() - count;
      const double written = write_time_of(first_out + skipped_);
      if (written >= 0) g_rt_continuous_stats.delay_ms.push_back(now_ms() - written);
    }
    g_rt_latency_samples += static_cast<int32_t>(times.size() - pieces_before);
    g_rt_total_latency_ms += elapsed;
    g_rt_cond_out->notify_one();
  }

  piece_converter pieces_;
  qv_rate_stream up_{qv::kStreamRate, qv::kModelRate};
  qv_rate_stream down_{qv::kModelRate, qv::kStreamRate};
  int64_t skipped_ = 0;  // input samples that give no output (dropped, skipped lookahead)
  std::vector<int16_t> block_, pcm_;
  std::vector<float> at_stream_, at_model_, joined_, back_;
};

}  // namespace

void rt_note_write(int64_t end, double now) {
  g_marks[g_mark_next] = write_mark{end, now};
  g_mark_next = (g_mark_next + 1) % kWriteMarks;
  if (g_mark_count < kWriteMarks) ++g_mark_count;
}

void rt_continuous_reset() {
  g_mark_next = g_mark_count = 0;
  g_rt_continuous_stats = rt_continuous_stats{};
}

double rt_continuous_lookahead_ms() {
  // The joiner's lookahead at the models' rate, and the two resamplers' half-widths.
  return (kCrossfade + kSearch + kRight) * 1000.0 / qv::kModelRate + 12 * 1000.0 / qv::kStreamRate +
         12 * 1000.0 / qv::kModelRate;
}

void rt_continuous_worker() {
  try {
    continuous_worker worker;
    worker.run();
  } catch (const std::bad_alloc &) {
    set_error("Memory allocation failed for real-time blocks");
  }
}
