// Parsing the start options of a stream.
#include "stream/stream_config.h"

#include <yyjson.h>

#include <cmath>
#include <cstring>

namespace {

constexpr double kMinGateDb = -120.0;
constexpr int32_t kMinMaxDelayMs = 50;
constexpr int32_t kMaxMaxDelayMs = 10000;

// The continuous mode's keys, which a host of the block mode never sends: "continuous" (true;
// not with "mode" "dsp"), "gate_db" (a level from -120 to 0 dB below which a piece comes out
// silent) and "max_delay_ms" (50 to 10000: input waiting longer is dropped, oldest first).
void read_continuous_options(yyjson_val *root, qv::stream_config &config) {
  config.continuous = yyjson_is_true(yyjson_obj_get(root, "continuous")) && !config.mode_dsp;
  yyjson_val *gate = yyjson_obj_get(root, "gate_db");
  if (yyjson_is_num(gate)) {
    const double db = yyjson_get_num(gate);
    if (db >= kMinGateDb && db <= 0.0)
      config.gate_rms = static_cast<float>(std::pow(10.0, db / 20.0));
  }
  yyjson_val *max_delay = yyjson_obj_get(root, "max_delay_ms");
  if (yyjson_is_uint(max_delay)) {
    const uint64_t v = yyjson_get_uint(max_delay);
    if (v >= kMinMaxDelayMs && v <= kMaxMaxDelayMs)
      config.max_backlog = static_cast<int32_t>(v) * qv::kSamplesPerMs;
  }
}

}  // namespace

namespace qv {

stream_config parse_stream_options(const char *options) {
  stream_config config;
  if (!options || !options[0]) return config;
  yyjson_doc *doc =
      yyjson_read_opts(const_cast<char *>(options), std::strlen(options), 0, nullptr, nullptr);
  yyjson_val *root = yyjson_doc_get_root(doc);
  if (yyjson_is_obj(root)) {
    yyjson_val *mode = yyjson_obj_get(root, "mode");
    if (yyjson_is_str(mode) && ascii_iequals(yyjson_get_str(mode), "dsp")) {
      config.mode_dsp = true;
      config.chunk_samples = kDspBlock;
    }
    yyjson_val *latency = yyjson_obj_get(root, "latency_ms");
    if (yyjson_is_uint(latency)) {
      const uint64_t v = yyjson_get_uint(latency);
      if (v >= kMinLatencyMs && v <= kMaxLatencyMs) {
        config.chunk_samples = static_cast<int32_t>(v) * kSamplesPerMs;
        // In the continuous mode the same value is the hop between pieces.
        config.hop =
            static_cast<int32_t>(std::lround(static_cast<double>(v) * kModelRate / 1000.0));
      }
    }
    read_continuous_options(root, config);
  }
  yyjson_doc_free(doc);
  return config;
}

}  // namespace qv
