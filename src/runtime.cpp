// Engine start-up and teardown, and the engine's access to ONNX Runtime.
#include "runtime.h"

#include <cstdio>
#include <cstring>

#include "catalogue.h"
#include "fft.h"
#include "ondrelix.h"
#include "report.h"
#include "stream.h"

#if defined(_WIN32)
#include <windows.h>
#endif

int g_initialized = 0;
const OrtApi *g_ort = nullptr;
OrtEnv *g_env = nullptr;
OrtMemoryInfo *g_mem = nullptr;
OrtSession *g_sess_converter = nullptr;
OrtSession *g_sess_speaker = nullptr;
char g_models_dir[qv::kPathSize];

namespace {

constexpr int kIntraOpThreads = 4;
constexpr const char *kLogId = "quorvane-ondrelix";
constexpr const char *kConverterPathFormat = "%s" QV_PATH_SEPARATOR "openvoice_converter.onnx";
constexpr const char *kSpeakerPathFormat = "%s" QV_PATH_SEPARATOR "openvoice_speaker.onnx";

bool is_trailing_junk(char c) { return c == '\\' || c == '/' || c == ' ' || c == '\t'; }

void store_models_dir(const char *models_dir) {
  std::snprintf(g_models_dir, sizeof g_models_dir, "%s", models_dir);
  size_t n = std::strlen(g_models_dir);
  while (n > 0 && is_trailing_junk(g_models_dir[n - 1])) g_models_dir[--n] = '\0';
}

// Releases every runtime object the engine holds. Used by teardown, and by a failed start so that
// nothing it created outlives it.
void release_runtime_objects() {
  const OrtApi *ort = get_ort_api();
  if (!ort) return;
  if (g_sess_converter) ort->ReleaseSession(g_sess_converter);
  g_sess_converter = nullptr;
  if (g_sess_speaker) ort->ReleaseSession(g_sess_speaker);
  g_sess_speaker = nullptr;
  if (g_mem) ort->ReleaseMemoryInfo(g_mem);
  g_mem = nullptr;
  if (g_env) ort->ReleaseEnv(g_env);
  g_env = nullptr;
}

struct options_deleter {
  void operator()(OrtSessionOptions *o) const { get_ort_api()->ReleaseSessionOptions(o); }
};
using session_options = std::unique_ptr<OrtSessionOptions, options_deleter>;

// Options every session shares. A refused setting is simply not applied.
session_options make_session_options() {
  const OrtApi *ort = get_ort_api();
  OrtSessionOptions *raw = nullptr;
  OrtStatus *status = ort->CreateSessionOptions(&raw);
  if (status) {
    ort_fail("CreateSessionOptions", status);
    return nullptr;
  }
  session_options options(raw);
  ort_ignore(ort->SetIntraOpNumThreads(raw, kIntraOpThreads));
  ort_ignore(ort->SetSessionExecutionMode(raw, ORT_SEQUENTIAL));
  ort_ignore(ort->SetSessionGraphOptimizationLevel(raw, ORT_ENABLE_ALL));
  // Idle pool threads sleep instead of spinning: with more threads than cores (4 on a 2-core
  // machine) spinning threads steal the cores from the ones doing the work.
  ort_ignore(ort->AddSessionConfigEntry(raw, "session.intra_op.allow_spinning", "0"));
  return options;
}

int start_runtime() {
  const OrtApi *ort = get_ort_api();
  if (!ort) {
    set_error("Failed to get OrtApi");
    return -1;
  }
  if (OrtStatus *status = ort->CreateEnv(ORT_LOGGING_LEVEL_WARNING, kLogId, &g_env)) {
    ort_fail("CreateEnv", status);
    return -1;
  }
  if (OrtStatus *status = ort->CreateCpuMemoryInfo(OrtArenaAllocator, OrtMemTypeDefault, &g_mem)) {
    ort_fail("CreateCpuMemoryInfo", status);
    return -1;
  }
  session_options options = make_session_options();
  if (!options) return -1;

  char converter_path[qv::kPathSize];
  char speaker_path[qv::kPathSize];
  std::snprintf(converter_path, sizeof converter_path, kConverterPathFormat, g_models_dir);
  std::snprintf(speaker_path, sizeof speaker_path, kSpeakerPathFormat, g_models_dir);
  // The converter comes first; when it fails the speaker model is never opened.
  g_sess_converter = create_session(converter_path, options.get());
  if (!g_sess_converter) return -1;
  g_sess_speaker = create_session(speaker_path, options.get());
  if (!g_sess_speaker) return -1;
  return 0;
}

void publish_init_report(const char **report) {
  const char *names[qv::kMaxVoices];
  for (int i = 0; i < g_voice_count; ++i) names[i] = g_voices[i].name;
  qv::report_builder()
      .strings("voices", names, g_voice_count)
      .boolean("custom_available", true)
      .boolean("realtime", true)
      .text("engine", "openvoice_v2")
      .text("version", "1.0.0")  // the report's own fixed text, not the library's version
      .publish(report);
}

int init_engine(const char *models_dir, const char **report) {
  if (g_initialized) ondrelix_cleanup();
  if (!models_dir || !models_dir[0]) {
    set_error("models_dir is NULL or empty");
    return -1;
  }
  store_models_dir(models_dir);
  qv_fft_init();
  if (start_runtime() != 0) return -1;  // the export releases what was made
  load_catalogue(g_models_dir);
  // The stream lock and its condition variables are process-wide objects that exist from load
  // (see stream.h), so there is nothing to create here, and a stream call made before start-up
  // or after teardown still finds a valid lock.
  g_initialized = 1;
  publish_init_report(report);
  return 0;
}

}  // namespace

const OrtApi *get_ort_api() {
  if (!g_ort) g_ort = OrtGetApiBase()->GetApi(qv::kOrtApiVersion);
  return g_ort;
}

void ort_fail(const char *label, OrtStatus *status) {
  if (!status) return;
  const OrtApi *ort = get_ort_api();
  const char *message = ort->GetErrorMessage(status);
  set_error("%s: %s", label, message ? message : "unknown ORT error");
  ort->ReleaseStatus(status);
}

void ort_ignore(OrtStatus *status) {
  if (status) get_ort_api()->ReleaseStatus(status);
}

OrtSession *create_session(const char *path, OrtSessionOptions *options) {
#if defined(_WIN32)
  wchar_t wide_path[qv::kPathSize];
  if (MultiByteToWideChar(CP_UTF8, 0, path, -1, wide_path, static_cast<int>(qv::kPathSize)) == 0) {
    set_error("Bad path encoding: %s", path);
    return nullptr;
  }
  const ORTCHAR_T *model_path = wide_path;
#else
  const ORTCHAR_T *model_path = path;  // the runtime takes UTF-8 paths here
#endif
  OrtSession *session = nullptr;
  OrtStatus *status = get_ort_api()->CreateSession(g_env, model_path, options, &session);
  if (status) {
    ort_fail("CreateSession", status);
    return nullptr;
  }
  return session;
}

extern "C" ONDRELIX_API int ondrelix_init(const char *models_dir, const char **report) {
  const int status =
      qv::guard_export("ondrelix_init", -1, [&] { return init_engine(models_dir, report); });
  // Nothing a failed start made outlives it, whether it returned or threw.
  if (status != 0) release_runtime_objects();
  return status;
}

extern "C" ONDRELIX_API void ondrelix_cleanup(void) {
  qv::guard_export(nullptr, 0, [] {
    if (!g_initialized) return 0;
    if (g_rt_running.load()) rt_stop_stream(nullptr);  // the worker uses both sessions
    release_runtime_objects();
    g_initialized = 0;
    g_voice_count = 0;
    g_custom_loaded = 0;
    return 0;
  });
}
