#include "bridge.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include "conversion/clone.h"
#include "shared_engine.h"
#include "signal/pcm.h"
#include "stream/stream_constants.h"

namespace {

constexpr size_t kRingSeconds = 4;
constexpr size_t kChunk = 4096;
// What the stream needs beyond its hop before a sample comes back, and a margin for the
// helpers' scheduling and the resamplers' buffering: continuous mode its lookahead plus the
// conversion of a piece; DSP mode one block.
constexpr double kNeuralMarginMs = 150.0;
constexpr double kDspMarginMs = 90.0;
const char *const kVoiceNames[] = {"female", "deep", "robot", "custom", "pass"};
constexpr int kCustomVoice = 3;
constexpr int kPassVoice = 4;

soxr_t make_resampler(double from, double to) {
  soxr_error_t error = nullptr;
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  soxr_t s = soxr_create(from, to, 1, &error, &io, &quality, nullptr);
  return error ? nullptr : s;
}

void nap() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

}  // namespace

void path_slot::put(const char *path, size_t n) {
  if (ready_.load(std::memory_order_acquire)) return;  // the last one is not taken yet
  n = n < sizeof text_ - 1 ? n : sizeof text_ - 1;
  std::memcpy(text_, path, n);
  text_[n] = '\0';
  ready_.store(1, std::memory_order_release);
}

bool path_slot::take(std::string &path) {
  if (!ready_.load(std::memory_order_acquire)) return false;
  path = text_;
  ready_.store(0, std::memory_order_release);
  return true;
}

engine_bridge::engine_bridge(double host_rate, logger log)
    : input(static_cast<size_t>(host_rate * kRingSeconds)),
      output(static_cast<size_t>(host_rate * kRingSeconds)),
      host_rate_(host_rate),
      log_(std::move(log)),
      to_stream_(make_resampler(host_rate, qv::kStreamRate)),
      from_stream_(make_resampler(qv::kStreamRate, host_rate)) {
  latency = latency_for(current_, host_rate_);
}

engine_bridge::~engine_bridge() {
  stop();
  if (to_stream_) soxr_delete(to_stream_);
  if (from_stream_) soxr_delete(from_stream_);
}

uint32_t bridge_settings::packed() const {
  return static_cast<uint32_t>(voice) | static_cast<uint32_t>(mode) << 3 |
         static_cast<uint32_t>(hop_ms) << 4 | static_cast<uint32_t>(gate_db + 120) << 14;
}

bridge_settings bridge_settings::unpacked(uint32_t word) {
  bridge_settings s;
  s.voice = static_cast<int>(word & 7u);
  s.mode = static_cast<int>(word >> 3 & 1u);
  s.hop_ms = static_cast<int>(word >> 4 & 1023u);
  s.gate_db = static_cast<int>(word >> 14 & 127u) - 120;
  return s;
}

int64_t engine_bridge::latency_for(const bridge_settings &s, double host_rate) {
  const bool dsp = s.mode == 1 || s.voice == kPassVoice;
  const double ms = s.hop_ms + (dsp ? kDspMarginMs : qv::kContinuousLookaheadMs + kNeuralMarginMs);
  return static_cast<int64_t>(std::lround(ms * host_rate / 1000.0));
}

std::string engine_bridge::reference() {
  std::lock_guard<std::mutex> lock(engine_mutex_);
  return reference_;
}

// Measures a reference clip into this instance's own "custom" voice.
bool engine_bridge::clone(const std::string &path) {
  qv::cloned_voice measured;
  const qv::status cloned = qv::clone_voice(*engine_, path.c_str(), measured);
  if (!cloned.ok()) {
    log_(true, "ondrelix: cannot clone a voice from " + path + ": " + cloned.message());
    return false;
  }
  custom_ = engine_->voices().resolve("custom");
  std::memcpy(custom_.embedding, measured.embedding, sizeof custom_.embedding);
  has_custom_ = true;
  return true;
}

bool engine_bridge::start(const std::string &models, const std::string &reference) {
  if (!to_stream_ || !from_stream_) {
    log_(true, "ondrelix: cannot create the resamplers");
    return false;
  }
  models_ = models;
  reference_ = reference;
  std::string message;
  engine_ = shared_engine::acquire(models, message);
  if (!engine_) {
    log_(true,
         "ondrelix: cannot start with models from " + models + ": " + message +
             " (set the plugin's models directory, or ONDRELIX_MODELS); passing audio through");
    return false;
  }
  if (!message.empty()) log_(false, "ondrelix: " + message);
  if (!reference.empty()) clone(reference);
  fed_ = 0;
  if (!restart(wanted_settings())) {
    shared_engine::release();
    engine_ = nullptr;
    return false;
  }
  running_ = true;
  feeder_ = std::thread(&engine_bridge::feed, this);
  drainer_ = std::thread(&engine_bridge::drain, this);
  return true;
}

void engine_bridge::stop() {
  running_ = false;
  if (feeder_.joinable()) feeder_.join();
  if (drainer_.joinable()) drainer_.join();
  stream_.stop();
  if (engine_) shared_engine::release();
  engine_ = nullptr;
}

// (Re)starts the stream with `s`; the caller holds engine_mutex_ (or no helper runs yet). The
// settings count as applied even when the start fails: the log says so once, and the helper does
// not retry until they change.
bool engine_bridge::restart(const bridge_settings &s) {
  current_ = s;
  // Stopped first, so that a read waiting for its output returns at once and gives up the lock.
  stream_.stop();
  std::lock_guard<std::mutex> drain_lock(drain_mutex_);  // no read while the stream restarts
  bridge_settings use = s;
  if (use.voice == kCustomVoice && !has_custom_) {
    log_(false, "ondrelix: the voice \"custom\" needs a reference clip; passing audio through");
    use.voice = kPassVoice;
  }
  std::string options = "{";
  if (use.mode == 1 || use.voice == kPassVoice) {
    options += "\"mode\":\"dsp\"";
  } else {
    options += "\"continuous\":true";
    if (use.gate_db > -120) options += ",\"gate_db\":" + std::to_string(use.gate_db);
  }
  options += ",\"latency_ms\":" + std::to_string(use.hop_ms) + "}";
  const qv::voice voice =
      use.voice == kCustomVoice ? custom_ : engine_->voices().resolve(kVoiceNames[use.voice]);
  const qv::status started =
      stream_.start(*engine_, voice, qv::parse_stream_options(options.c_str()));
  if (!started.ok()) {
    log_(true, std::string("ondrelix: cannot start the stream: ") + started.message());
    applied.store(s.packed());
    return false;
  }
  soxr_clear(to_stream_);
  soxr_clear(from_stream_);
  latency = latency_for(use, host_rate_);
  generation.fetch_add(1);
  applied.store(s.packed());
  return true;
}

// Input ring -> 16 kHz -> the stream; restarts the stream when the wanted settings change. After
// a restart nothing is fed until run() has named the host sample the new stream begins with;
// what came before it is dropped.
void engine_bridge::feed() {
  std::vector<float> host(kChunk), at_stream(kChunk * 2);
  std::vector<int16_t> pcm(kChunk * 2);
  while (running_) {
    std::string path;
    if (new_models.take(path) && path != models_)
      log_(false, "ondrelix: a new models directory takes effect when the plugin is activated");
    if (new_reference.take(path)) {
      std::lock_guard<std::mutex> lock(engine_mutex_);
      if (clone(path)) {
        reference_ = path;
        restart(wanted_settings());
      }
    }
    if (!(wanted_settings() == current_)) {
      std::lock_guard<std::mutex> lock(engine_mutex_);
      restart(wanted_settings());
    }
    if (!switched()) {
      nap();
      continue;
    }
    const int64_t skip = start_at.load() - fed_;
    if (skip > 0) {
      fed_ += static_cast<int64_t>(
          input.pop(nullptr, static_cast<size_t>(std::min<int64_t>(skip, kChunk))));
      continue;
    }
    const size_t n = input.pop(host.data(), kChunk);
    fed_ += static_cast<int64_t>(n);
    if (n == 0) {
      nap();
      continue;
    }
    size_t done = 0, made = 0;
    soxr_process(to_stream_, host.data(), n, &done, at_stream.data(), at_stream.size(), &made);
    // A host may hand over NaN; it becomes silence, not an undefined conversion.
    for (size_t i = 0; i < made; ++i) pcm[i] = qv::pcm16_round(at_stream[i]);
    if (made > 0) stream_.write(pcm.data(), static_cast<int>(made));
  }
}

// The stream -> the host's rate -> output ring, once run() has switched to the stream.
void engine_bridge::drain() {
  std::vector<int16_t> pcm(kChunk);
  std::vector<float> at_stream(kChunk), host(kChunk * 16);
  while (running_) {
    std::unique_lock<std::mutex> lock(drain_mutex_);
    if (!switched()) {
      lock.unlock();
      nap();
      continue;
    }
    int got = 0;
    stream_.read(pcm.data(), static_cast<int>(kChunk), &got);  // waits up to 20 ms
    if (got <= 0) {
      lock.unlock();
      nap();  // between two streams a read returns at once
      continue;
    }
    for (int i = 0; i < got; ++i) at_stream[i] = qv::float_from_pcm16(pcm[i]);
    size_t done = 0, made = 0;
    soxr_process(from_stream_, at_stream.data(), static_cast<size_t>(got), &done, host.data(),
                 host.size(), &made);
    output.push(host.data(), made);
  }
}
