// The engine's internal state as the tests see it: the subsystem headers, and the few ways the
// tests set that state up by hand, kept here so a change to the state changes one file.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>

#include "catalogue.h"
#include "ondrelix.h"
#include "pipeline.h"
#include "report.h"
#include "runtime.h"
#include "stream.h"

namespace qvt {

// Sets the running flag with rings allocated and empty but no worker, so that ring behaviour can
// be observed exactly. Needs an initialised engine; end it with stop_stream_without_worker().
inline void run_stream_without_worker() {
  ASSERT_EQ(ondrelix_rt_start("pass", "{\"mode\":\"dsp\"}"), 0);
  ondrelix_rt_stop(nullptr);
  g_rt_in_head = g_rt_in_tail = g_rt_in_count = 0;
  g_rt_out_head = g_rt_out_tail = g_rt_out_count = 0;
  g_rt_total_in_frames = g_rt_dropped_frames = 0;
  g_rt_running.store(1);
}

inline void stop_stream_without_worker() { g_rt_running.store(0); }

// Puts samples into the output ring as if the worker had appended them (no worker may run).
inline void preset_output_ring(std::initializer_list<int16_t> samples) {
  for (int16_t s : samples) {
    g_rt_out_buf[g_rt_out_tail] = s;
    g_rt_out_tail = (g_rt_out_tail + 1) % qv::kRingCapacity;
    ++g_rt_out_count;
  }
}

// Frees the rings, so the next stream start allocates them again (no stream may run).
inline void release_rings() {
  std::free(g_rt_in_buf);
  std::free(g_rt_out_buf);
  g_rt_in_buf = g_rt_out_buf = nullptr;
}

}  // namespace qvt
