// The engine's access to ONNX Runtime: the API table, failed statuses turned into the engine's
// own, sessions from UTF-8 paths, and owned runtime values. Internal.
#pragma once

#include <onnxruntime_c_api.h>

#include <memory>

#include "common.h"
#include "engine/status.h"

namespace qv {
constexpr int kOrtApiVersion = 27;
}  // namespace qv

// The runtime's API table, fetched on first use; null only when the runtime lacks API 27.
const OrtApi *get_ort_api();
// A failed runtime status as "label: message" (and the status released); success for null.
qv::status ort_failure(const char *label, OrtStatus *status);
// Releases a status whose failure does not matter.
void ort_ignore(OrtStatus *status);
// A session for a UTF-8 model path.
qv::status create_session(OrtEnv *env, const char *path, OrtSessionOptions *options,
                          OrtSession **session);

namespace qv {
struct value_deleter {
  void operator()(OrtValue *v) const {
    if (v) get_ort_api()->ReleaseValue(v);
  }
};
// A tensor or other runtime value, released when it goes out of scope.
using ort_value = std::unique_ptr<OrtValue, value_deleter>;
}  // namespace qv
