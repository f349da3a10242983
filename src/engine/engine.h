// The engine: ONNX Runtime's environment, the CPU memory description and the two model sessions
// (converter and speaker encoder), and the voices. Streams, file conversions and clones all run
// on an engine; any number of them may use one engine at the same time (the runtime allows
// concurrent runs of one session), but its start and stop may not overlap them. Internal.
#pragma once

#include <onnxruntime_c_api.h>

#include "common.h"
#include "engine/catalogue.h"
#include "engine/status.h"

namespace qv {

class engine {
 public:
  engine() = default;
  ~engine() { stop(); }
  engine(const engine &) = delete;
  engine &operator=(const engine &) = delete;

  // Starts from a models directory (trailing separators and blanks dropped): the runtime, the
  // sessions (converter first) and the catalogue. A failed start leaves the engine stopped with
  // nothing of it kept.
  status start(const char *models_dir);
  // Releases the sessions and runtime objects and empties the catalogue; the models directory
  // stays as it was stored.
  void stop();

  bool initialized() const { return initialized_ != 0; }
  const char *models_dir() const { return models_dir_; }
  OrtMemoryInfo *memory() const { return mem_; }
  OrtSession *converter() const { return sess_converter_; }
  OrtSession *speaker() const { return sess_speaker_; }
  voice_catalogue &voices() { return voices_; }
  const voice_catalogue &voices() const { return voices_; }

 private:
  friend struct engine_test_access;
  void store_models_dir(const char *models_dir);
  status start_runtime();
  void release_runtime();

  int initialized_ = 0;                   // g_initialized
  char models_dir_[kPathSize] = {};       // g_models_dir
  OrtEnv *env_ = nullptr;                 // g_env
  OrtMemoryInfo *mem_ = nullptr;          // g_mem
  OrtSession *sess_converter_ = nullptr;  // g_sess_converter
  OrtSession *sess_speaker_ = nullptr;    // g_sess_speaker
  voice_catalogue voices_;                // g_voices, g_voice_count, g_custom_emb, g_custom_loaded
};

}  // namespace qv
