// The stream options text: any bytes start a stream (or are ignored) and give a block length
// the rules allow.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "defaults.h"
#include "ondrelix.h"

// The engine starts once, before any input, so its one-time allocations are not counted
// against an input.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  if (ondrelix_init(ONDRELIX_FIXTURE_DIR "/models", nullptr) != 0) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string options(reinterpret_cast<const char *>(data), size);  // cut at the first NUL
  if (ondrelix_rt_start("pass", options.c_str()) != 0) std::abort();
  const int32_t block = qv::default_stream().config().chunk_samples;
  const bool allowed =
      block == 3200 || block == 320 || (block % 16 == 0 && block >= 320 && block <= 16000);
  ondrelix_rt_stop(nullptr);
  if (!allowed) std::abort();
  return 0;
}
