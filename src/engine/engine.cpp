// Engine start-up and teardown: the runtime's objects, the two sessions and the catalogue.
#include "engine/engine.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "engine/runtime.h"
#include "signal/fft.h"

namespace {

constexpr int kIntraOpThreads = 4;
constexpr const char *kLogId = "quorvane-ondrelix";
constexpr const char *kConverterPathFormat = "%s" QV_PATH_SEPARATOR "openvoice_converter.onnx";
constexpr const char *kSpeakerPathFormat = "%s" QV_PATH_SEPARATOR "openvoice_speaker.onnx";

bool is_trailing_junk(char c) { return c == '\\' || c == '/' || c == ' ' || c == '\t'; }

struct options_deleter {
  void operator()(OrtSessionOptions *o) const { get_ort_api()->ReleaseSessionOptions(o); }
};
using session_options = std::unique_ptr<OrtSessionOptions, options_deleter>;

// Options every session shares. A refused setting is simply not applied.
qv::status make_session_options(session_options &options) {
  const OrtApi *ort = get_ort_api();
  OrtSessionOptions *raw = nullptr;
  qv::status made = ort_failure("CreateSessionOptions", ort->CreateSessionOptions(&raw));
  if (!made.ok()) return made;
  options.reset(raw);
  ort_ignore(ort->SetIntraOpNumThreads(raw, kIntraOpThreads));
  ort_ignore(ort->SetSessionExecutionMode(raw, ORT_SEQUENTIAL));
  ort_ignore(ort->SetSessionGraphOptimizationLevel(raw, ORT_ENABLE_ALL));
  // Idle pool threads sleep instead of spinning: with more threads than cores (4 on a 2-core
  // machine) spinning threads steal the cores from the ones doing the work.
  ort_ignore(ort->AddSessionConfigEntry(raw, "session.intra_op.allow_spinning", "0"));
  return made;
}

}  // namespace

namespace qv {

void engine::store_models_dir(const char *models_dir) {
  std::snprintf(models_dir_, sizeof models_dir_, "%s", models_dir);
  size_t n = std::strlen(models_dir_);
  while (n > 0 && is_trailing_junk(models_dir_[n - 1])) models_dir_[--n] = '\0';
}

// Releases every runtime object the engine holds. Used by teardown, and by a failed start so that
// nothing it created outlives it.
void engine::release_runtime() {
  const OrtApi *ort = get_ort_api();
  if (!ort) return;
  if (sess_converter_) ort->ReleaseSession(sess_converter_);
  sess_converter_ = nullptr;
  if (sess_speaker_) ort->ReleaseSession(sess_speaker_);
  sess_speaker_ = nullptr;
  if (mem_) ort->ReleaseMemoryInfo(mem_);
  mem_ = nullptr;
  if (env_) ort->ReleaseEnv(env_);
  env_ = nullptr;
}

status engine::start_runtime() {
  const OrtApi *ort = get_ort_api();
  if (!ort) return status::failure("Failed to get OrtApi");
  status step = ort_failure("CreateEnv", ort->CreateEnv(ORT_LOGGING_LEVEL_WARNING, kLogId, &env_));
  if (!step.ok()) return step;
  step = ort_failure("CreateCpuMemoryInfo",
                     ort->CreateCpuMemoryInfo(OrtArenaAllocator, OrtMemTypeDefault, &mem_));
  if (!step.ok()) return step;
  session_options options;
  step = make_session_options(options);
  if (!step.ok()) return step;

  char converter_path[kPathSize];
  char speaker_path[kPathSize];
  std::snprintf(converter_path, sizeof converter_path, kConverterPathFormat, models_dir_);
  std::snprintf(speaker_path, sizeof speaker_path, kSpeakerPathFormat, models_dir_);
  // The converter comes first; when it fails the speaker model is never opened.
  step = create_session(env_, converter_path, options.get(), &sess_converter_);
  if (!step.ok()) return step;
  return create_session(env_, speaker_path, options.get(), &sess_speaker_);
}

status engine::start(const char *models_dir) {
  stop();
  if (!models_dir || !models_dir[0]) return status::failure("models_dir is NULL or empty");
  store_models_dir(models_dir);
  qv_fft_init();
  status started = start_runtime();
  if (!started.ok()) {
    release_runtime();  // nothing a failed start made outlives it
    return started;
  }
  voices_.load(models_dir_);
  initialized_ = 1;
  return started;
}

void engine::stop() {
  release_runtime();
  initialized_ = 0;
  voices_.clear();
}

}  // namespace qv
