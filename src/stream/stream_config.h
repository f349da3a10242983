// A stream's configuration: parsed once from the start options into a plain struct that the
// worker receives. Internal.
#pragma once

#include <cstdint>

#include "stream/stream_constants.h"

namespace qv {

struct stream_config {
  bool mode_dsp = false;                 // "mode": "dsp" (g_rt_mode_dsp)
  int32_t chunk_samples = kNeuralBlock;  // the block at 16 kHz (g_rt_chunk_samples)
  // The continuous mode ("continuous": true, neural mode only): overlapping pieces joined
  // without a seam instead of isolated blocks.
  bool continuous = false;
  int32_t hop = kDefaultHop;  // model-rate samples per piece
  float gate_rms = 0.0f;      // pieces quieter than this come out silent; 0: no gate
  int32_t max_backlog = kDefaultMaxDelayMs * kSamplesPerMs;  // 16 kHz samples waiting beyond
                                                             // one piece before the oldest drops
};

// Only a JSON object counts, and in it "mode", "latency_ms" and the continuous mode's keys;
// anything unusable is ignored without a message (null or empty options give the defaults).
stream_config parse_stream_options(const char *options);

}  // namespace qv
