// The engine's internal state as the tests see it: the default engine and stream behind the
// interface, the internal functions with the interface's error convention, and the few ways the
// tests set state up by hand, kept here so a change to the state changes one file.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>

#include "conversion/pipeline.h"
#include "defaults.h"
#include "engine/catalogue.h"
#include "engine/report.h"
#include "engine/runtime.h"
#include "ondrelix.h"
#include "stream/stream.h"

namespace qv {

struct engine_test_access {
  static OrtEnv *env(const engine &e) { return e.env_; }
};

// A stream's rings and counters, which only its worker and its two transfer calls touch.
struct stream_test_access {
  explicit stream_test_access(stream &s) : s_(s) {}
  int32_t &in_count() { return s_.in_count_; }
  int16_t *in_buf() { return s_.in_buf_; }
  int16_t *out_buf() { return s_.out_buf_; }
  int64_t &total_in_frames() { return s_.total_in_frames_; }
  int64_t &dropped_frames() { return s_.dropped_frames_; }
  int64_t &total_out_frames() { return s_.total_out_frames_; }
  int32_t &latency_samples() { return s_.latency_samples_; }
  std::mutex &mutex() { return s_.mutex_; }

  // Sets the running flag with rings allocated and empty but no worker, so that ring behaviour
  // can be observed exactly. Needs an initialised engine; end it with stop_without_worker().
  void run_without_worker() {
    ASSERT_TRUE(s_.start(default_engine(), "pass", "{\"mode\":\"dsp\"}").ok());
    s_.stop();
    s_.in_head_ = s_.in_tail_ = s_.in_count_ = 0;
    s_.out_head_ = s_.out_tail_ = s_.out_count_ = 0;
    s_.total_in_frames_ = s_.dropped_frames_ = 0;
    s_.running_.store(1);
  }
  void stop_without_worker() { s_.running_.store(0); }
  // Puts samples into the output ring as if the worker had appended them (no worker may run).
  void preset_output_ring(std::initializer_list<int16_t> samples) {
    for (int16_t v : samples) {
      s_.out_buf_[s_.out_tail_] = v;
      s_.out_tail_ = (s_.out_tail_ + 1) % kRingCapacity;
      ++s_.out_count_;
    }
  }
  // Frees the rings, so the next start allocates them again (no worker may run).
  void release_rings() {
    std::free(s_.in_buf_);
    std::free(s_.out_buf_);
    s_.in_buf_ = s_.out_buf_ = nullptr;
  }

 private:
  stream &s_;
};

}  // namespace qv

namespace qvt {

inline qv::engine &engine() { return qv::default_engine(); }
inline qv::stream &stream() { return qv::default_stream(); }
inline qv::stream_test_access stream_state() { return qv::stream_test_access(stream()); }

// The embedding the default engine has for a voice name.
inline const float *voice_embedding(const char *name) { return engine().voices().embedding(name); }

// The pipeline on the default engine, with the interface's convention: 0, or -1 with the
// failure's message as the last error.
inline int run_inference(const float *samples, int32_t count, const float *target, float **out,
                         int32_t *out_count) {
  return report_status(run_openvoice_inference(engine(), samples, count, target, out, out_count));
}
inline int measure_source(const float *samples, int32_t count, float *embedding) {
  return report_status(measure_source_embedding(engine(), samples, count, embedding));
}

}  // namespace qvt
