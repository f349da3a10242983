// Engine start-up and teardown, and the engine's access to ONNX Runtime: the API table, the
// environment, the CPU memory description and the two model sessions. Internal.
#pragma once

#include <onnxruntime_c_api.h>

#include <memory>

#include "common.h"

namespace qv {
constexpr int kOrtApiVersion = 27;
}  // namespace qv

extern int g_initialized;
extern const OrtApi *g_ort;
extern OrtEnv *g_env;
extern OrtMemoryInfo *g_mem;
extern OrtSession *g_sess_converter;
extern OrtSession *g_sess_speaker;
extern char g_models_dir[qv::kPathSize];

// The runtime's API table, fetched on first use; null only when the runtime lacks API 27.
const OrtApi *get_ort_api();
// A null status is success and does nothing; otherwise records "label: message" and releases it.
void ort_fail(const char *label, OrtStatus *status);
// Releases a status whose failure does not matter.
void ort_ignore(OrtStatus *status);
// A session for a UTF-8 model path, or null with the last error set.
OrtSession *create_session(const char *path, OrtSessionOptions *options);

namespace qv {
struct value_deleter {
  void operator()(OrtValue *v) const {
    if (v) get_ort_api()->ReleaseValue(v);
  }
};
// A tensor or other runtime value, released when it goes out of scope.
using ort_value = std::unique_ptr<OrtValue, value_deleter>;
}  // namespace qv
