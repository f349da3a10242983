// Cloning a voice from a reference recording: its first 30 seconds measured by the speaker
// encoder. Internal.
#pragma once

#include <cstdint>

#include "common.h"
#include "engine/engine.h"
#include "engine/status.h"

namespace qv {

// What a clone measured: the voice's embedding, the reference's seconds used (at the models'
// rate) and the file's own rate.
struct cloned_voice {
  float embedding[kEmbeddingSize];
  int32_t used = 0;
  int32_t file_rate = 0;
};

// Measures the voice in the WAV file at `wav_path`; the engine's custom slot is not touched.
status clone_voice(const engine &engine, const char *wav_path, cloned_voice &clone);

// The clone report, into the interface's report buffer.
void publish_clone_report(const cloned_voice &clone, const char **report);

}  // namespace qv
