// What a host of the real-time stream needs to know of it: its rate, its blocks, the continuous
// mode's hop and lookahead. The library, the ondrelix command and the LV2 plugin all take these
// from here. Header only.
#pragma once

#include <cstdint>

#include "common.h"
#include "signal/resample.h"

namespace qv {

constexpr int32_t kSamplesPerMs = kStreamRate / 1000;
constexpr int32_t kNeuralBlock = 3200;  // block mode: 200 ms at 16 kHz
constexpr int32_t kDspBlock = 320;      // DSP mode: 20 ms
constexpr int32_t kMinLatencyMs = 20;   // "latency_ms": the block or hop, 20 to 1000 ms
constexpr int32_t kMaxLatencyMs = 1000;
constexpr int32_t kDefaultMaxDelayMs = 500;  // "max_delay_ms" when not given

// The continuous mode, at the models' rate: the default hop (46.4 ms), and after each hop the
// joiner's crossfade, its search and one more frame (so the tail is not at the window's
// reflected end).
constexpr int32_t kDefaultHop = 1024;
constexpr int32_t kJoinCrossfade = 256;
constexpr int32_t kJoinSearch = 256;
constexpr int32_t kJoinRight = 256;

// The default hop at the stream's rate.
constexpr int32_t kDefaultHopAtStreamRate =
    static_cast<int32_t>(int64_t{kDefaultHop} * kStreamRate / kModelRate);  // 743

// What the continuous mode waits for beyond its hop before it converts a piece: the joiner's
// lookahead at the models' rate and the two resamplers' half-widths, in milliseconds (36.1).
constexpr double kContinuousLookaheadMs =
    (kJoinCrossfade + kJoinSearch + kJoinRight) * 1000.0 / kModelRate +
    kResamplerHalfWidth * 1000.0 / kStreamRate + kResamplerHalfWidth * 1000.0 / kModelRate;

// The same in 16 kHz samples, rounded up.
constexpr int32_t kContinuousLookaheadSamples =
    static_cast<int32_t>(kContinuousLookaheadMs * kSamplesPerMs) + 1;  // 578

}  // namespace qv
