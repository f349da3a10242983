// Between the host's audio thread and the engine. run() only pushes input into one lock-free ring
// and pops output from another; two helper threads move the audio through the instance's own
// stream on the process's shared engine (the feeder resamples to 16 kHz and writes, the drainer
// reads, which may wait, and resamples back) and restart the stream when the settings change.
// Every (re)start begins at a host block that run() names, and run() puts `latency` samples of
// silence before the new stream's output, so the output is the converted input delayed by
// exactly the latency, whatever changed.
#pragma once

#include <soxr.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/catalogue.h"
#include "engine/engine.h"
#include "spsc_ring.h"
#include "stream/stream.h"

struct bridge_settings {
  int voice = 0;  // female, deep, robot, custom, pass-through
  int mode = 0;   // neural continuous, DSP
  int hop_ms = 46;
  int gate_db = -120;  // -120: no gate
  bool operator==(const bridge_settings &o) const {
    return voice == o.voice && mode == o.mode && hop_ms == o.hop_ms && gate_db == o.gate_db;
  }
  // All four in one word (within the ports' ranges: voice 0-4, mode 0-1, hop 20-1000 ms, gate
  // -120-0 dB), so that they pass between threads in one atomic store: a helper never sees half
  // of a change (and restarts twice for it).
  uint32_t packed() const;
  static bridge_settings unpacked(uint32_t word);
};

// A path handed from the audio thread (a patch:Set) to the helpers, without a lock or allocation.
class path_slot {
 public:
  void put(const char *path, size_t n);  // audio thread
  bool take(std::string &path);          // helper
 private:
  char text_[4096] = {};
  std::atomic<int> ready_{0};
};

class engine_bridge {
 public:
  using logger = std::function<void(bool error, const std::string &message)>;
  engine_bridge(double host_rate, logger log);
  ~engine_bridge();
  engine_bridge(const engine_bridge &) = delete;
  engine_bridge &operator=(const engine_bridge &) = delete;

  // Takes the shared engine and starts the stream and the helpers (from activate, not the audio
  // thread). False when the engine cannot start (the log says why); the plugin then passes audio
  // through.
  bool start(const std::string &models, const std::string &reference);
  void stop();

  // The audio thread's side.
  spsc_ring input, output;
  std::atomic<int> generation{0};    // bumped by every (re)start of the stream
  std::atomic<int> flushed{0};       // the generation run() has switched to
  std::atomic<int64_t> start_at{0};  // host input sample the switched-to stream begins with
  std::atomic<int64_t> latency{0};   // samples at the host's rate
  std::atomic<uint32_t> wanted{bridge_settings{}.packed()};   // the control ports' settings
  std::atomic<uint32_t> applied{bridge_settings{}.packed()};  // those of the last (re)start
                                                               // (stored after its generation)
  path_slot new_reference, new_models;

  // The reference clip in use; from any thread but the audio thread.
  std::string reference();
  static int64_t latency_for(const bridge_settings &s, double host_rate);

 private:
  void feed();
  void drain();
  bool restart(const bridge_settings &s);
  bool clone(const std::string &path);
  bool switched() const { return flushed.load() == generation.load(); }
  bridge_settings wanted_settings() const { return bridge_settings::unpacked(wanted.load()); }

  double host_rate_;
  logger log_;
  soxr_t to_stream_ = nullptr, from_stream_ = nullptr;
  qv::engine *engine_ = nullptr;  // the process's shared engine while started
  qv::stream stream_;
  qv::voice custom_{};  // this instance's own clone
  bool has_custom_ = false;
  // Start and stop of the stream against reads, and the reference's text; never taken by run().
  std::mutex engine_mutex_;
  std::mutex drain_mutex_;
  std::thread feeder_, drainer_;
  std::atomic<bool> running_{false};
  bridge_settings current_;
  std::string models_, reference_;
  int64_t fed_ = 0;  // host input samples the feeder has taken from the input ring
};
