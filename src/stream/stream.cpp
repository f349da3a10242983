// A stream's life: start (voice, options, rings, worker), the two calls that move samples
// through its rings, stop, and the stop report.
#include "stream/stream.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "engine/report.h"

namespace {

constexpr auto kReadWait = std::chrono::milliseconds(20);
constexpr double kRealtimeLimitMs = 80.0;

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace

namespace qv {

stream::~stream() {
  stop();
  std::free(in_buf_);
  std::free(out_buf_);
}

bool stream::ensure_rings() {
  if (!in_buf_) in_buf_ = static_cast<int16_t *>(std::malloc(kRingCapacity * sizeof(int16_t)));
  if (!out_buf_) out_buf_ = static_cast<int16_t *>(std::malloc(kRingCapacity * sizeof(int16_t)));
  return in_buf_ && out_buf_;
}

// Before the worker exists, so without the lock.
void stream::reset_counters() {
  in_head_ = in_tail_ = in_count_ = 0;
  out_head_ = out_tail_ = out_count_ = 0;
  total_in_frames_ = total_out_frames_ = dropped_frames_ = 0;
  total_latency_ms_ = 0.0;
  latency_samples_ = 0;
  mark_next_ = mark_count_ = 0;
  continuous_stats_ = continuous_stats{};
}

status stream::start(const engine &engine, const char *voice_name, const char *options,
                     bool report_errors) {
  if (!engine.initialized()) return status::failure("ondrelix is not initialized");
  if (running()) return status::failure("Real-time streaming is already running");
  const char *name = (!voice_name || !voice_name[0]) ? "female" : voice_name;
  if (ascii_iequals(name, "custom") && !engine.voices().custom_loaded())
    return status::failure(
        "Custom voice selected but no reference audio loaded (ondrelix_load_voice)");
  return start(engine, engine.voices().resolve(name), parse_stream_options(options), report_errors);
}

status stream::start(const engine &engine, const voice &voice, const stream_config &config,
                     bool report_errors) {
  if (!engine.initialized()) return status::failure("ondrelix is not initialized");
  if (running()) return status::failure("Real-time streaming is already running");
  prepare(engine, voice, config);
  report_errors_ = report_errors;
  if (!ensure_rings())
    return status::failure("Memory allocation failed for real-time ring buffers");
  if (config_.continuous && marks_.empty()) {
    try {
      marks_.resize(kWriteMarks);
    } catch (const std::bad_alloc &) {
      return status::failure("Memory allocation failed for real-time ring buffers");
    }
  }
  reset_counters();
  start_time_ = now_ms();
  running_.store(1);
  try {
    thread_ = std::thread([this] { run_worker(); });
  } catch (const std::system_error &) {
    running_.store(0);
    return status::failure("Failed to create real-time worker thread");
  }
  return status();
}

void stream::prepare(const engine &engine, const voice &voice, const stream_config &config) {
  if (running()) return;
  engine_ = &engine;
  voice_ = voice;
  config_ = config;
}

void stream::stop() {
  running_.store(0);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cond_in_.notify_one();   // a worker in its timed wait wakes at once,
    cond_out_.notify_all();  // and a reader waiting for output returns what there is
  }
  if (thread_.joinable()) thread_.join();
}

void stream::ring_store(int16_t *ring, int32_t &tail, const int16_t *src, int32_t n) {
  const int32_t first = n < kRingCapacity - tail ? n : kRingCapacity - tail;
  std::memcpy(ring + tail, src, static_cast<size_t>(first) * sizeof(int16_t));
  std::memcpy(ring, src + first, static_cast<size_t>(n - first) * sizeof(int16_t));
  tail = (tail + n) % kRingCapacity;
}

void stream::ring_take(const int16_t *ring, int32_t &head, int16_t *dst, int32_t n) {
  const int32_t first = n < kRingCapacity - head ? n : kRingCapacity - head;
  std::memcpy(dst, ring + head, static_cast<size_t>(first) * sizeof(int16_t));
  std::memcpy(dst + first, ring, static_cast<size_t>(n - first) * sizeof(int16_t));
  head = (head + n) % kRingCapacity;
}

int stream::write(const int16_t *samples, int count) {
  if (!running() || !samples || count <= 0) return -1;
  std::lock_guard<std::mutex> lock(mutex_);
  // The newest samples of the batch are the ones refused; unread input is never overwritten.
  const int32_t free_space = kRingCapacity - in_count_;
  const int32_t stored = count <= free_space ? count : free_space;
  if (stored > 0) {
    ring_store(in_buf_, in_tail_, samples, stored);
    in_count_ += stored;
    total_in_frames_ += stored;
    if (config_.continuous) note_write(total_in_frames_, now_ms());
  }
  dropped_frames_ += count - stored;
  cond_in_.notify_one();
  return 0;
}

int stream::read(int16_t *out, int capacity, int *got) {
  if (!got || capacity <= 0 || !out) return -1;
  *got = 0;
  std::unique_lock<std::mutex> lock(mutex_);
  // One wait at most: a host reads in a loop at its own pace.
  if (capacity > out_count_ && running()) cond_out_.wait_for(lock, kReadWait);
  const int32_t n = capacity < out_count_ ? capacity : out_count_;
  // The ring exists whenever it holds samples; before the first start the count is 0.
  if (n > 0) ring_take(out_buf_, out_head_, out, n);
  out_count_ -= n;
  *got = n;
  return 0;
}

void stream::note_write(int64_t end, double now) {
  marks_[static_cast<size_t>(mark_next_)] = write_mark{end, now};
  mark_next_ = (mark_next_ + 1) % kWriteMarks;
  if (mark_count_ < kWriteMarks) ++mark_count_;
}

// The time input sample `index` was written, or a negative value when it is no longer known.
// Called under mutex_.
double stream::write_time_of(int64_t index) const {
  const int oldest = (mark_next_ - mark_count_ + kWriteMarks) % kWriteMarks;
  for (int k = 0; k < mark_count_; ++k) {
    const write_mark &m = marks_[static_cast<size_t>((oldest + k) % kWriteMarks)];
    if (m.end > index) return m.time;
  }
  return -1.0;
}

void stream::worker_failed(const status &failure) {
  if (report_errors_) report_failure(failure);
}

double stream::continuous_lookahead_ms() { return kContinuousLookaheadMs; }

void stream::publish_stop_report(const char **report) const {
  const double avg = latency_samples_ > 0 ? total_latency_ms_ / latency_samples_ : 0.0;
  report_builder builder;
  builder.real("processed_ms", static_cast<double>(total_in_frames_) / kStreamRate * 1000.0)
      .real("total_time_ms", now_ms() - start_time_)
      .real("avg_latency_ms", avg)
      .integer("dropped_frames", dropped_frames_)
      .integer("total_in_frames", total_in_frames_)
      .integer("total_out_frames", total_out_frames_)
      .boolean("realtime", avg < kRealtimeLimitMs || config_.mode_dsp);
  // After the keys every stop report has, the continuous mode says what a host tuning its
  // latency needs.
  if (config_.continuous) {
    const continuous_stats &s = continuous_stats_;
    builder.boolean("continuous", true)
        .real("hop_ms", config_.hop * 1000.0 / kModelRate)
        .real("lookahead_ms", continuous_lookahead_ms())
        .real("delay_ms", percentile(s.delay_ms, 0.5))
        .real("delay_p99_ms", percentile(s.delay_ms, 0.99))
        .real("piece_p99_ms", percentile(s.piece_ms, 0.99))
        .integer("pieces", static_cast<int64_t>(s.piece_ms.size()))
        .integer("gated_pieces", s.gated)
        .integer("rejoins", s.rejoins);
  }
  builder.publish(report);
}

}  // namespace qv
