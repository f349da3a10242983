// The engine's access to ONNX Runtime: the API table, statuses, sessions from UTF-8 paths.
#include "engine/runtime.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {
const OrtApi *g_ort = nullptr;  // fetched once; the same table for every engine
}  // namespace

const OrtApi *get_ort_api() {
  if (!g_ort) g_ort = OrtGetApiBase()->GetApi(qv::kOrtApiVersion);
  return g_ort;
}

qv::status ort_failure(const char *label, OrtStatus *status) {
  if (!status) return qv::status();
  const OrtApi *ort = get_ort_api();
  const char *message = ort->GetErrorMessage(status);
  qv::status failure =
      qv::status::failure("%s: %s", label, message ? message : "unknown ORT error");
  ort->ReleaseStatus(status);
  return failure;
}

void ort_ignore(OrtStatus *status) {
  if (status) get_ort_api()->ReleaseStatus(status);
}

qv::status create_session(OrtEnv *env, const char *path, OrtSessionOptions *options,
                          OrtSession **session) {
#if defined(_WIN32)
  wchar_t wide_path[qv::kPathSize];
  if (MultiByteToWideChar(CP_UTF8, 0, path, -1, wide_path, static_cast<int>(qv::kPathSize)) == 0)
    return qv::status::failure("Bad path encoding: %s", path);
  const ORTCHAR_T *model_path = wide_path;
#else
  const ORTCHAR_T *model_path = path;  // the runtime takes UTF-8 paths here
#endif
  return ort_failure("CreateSession",
                     get_ort_api()->CreateSession(env, model_path, options, session));
}
