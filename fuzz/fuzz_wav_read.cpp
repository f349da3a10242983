// The WAV reader on arbitrary bytes: it must fail with a message or succeed with a record whose
// samples can all be read, and leave nothing allocated.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "audio/wav.h"

namespace {

const std::string &scratch_path() {
  static const std::string path = "/tmp/ondrelix-fuzz-wav-" + std::to_string(getpid()) + ".wav";
  return path;
}

// A run ends by exit() (at its time limit too): the scratch file goes with it.
void remove_scratch() { std::remove(scratch_path().c_str()); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string &path = scratch_path();
  static const bool removed_at_exit = std::atexit(remove_scratch) == 0;
  (void)removed_at_exit;
  FILE *f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);
  qv_wav rec{};
  char err[256] = "";
  if (qv_wav_read(path.c_str(), &rec, err, sizeof err) == 0) {
    volatile float sum = 0;
    for (int32_t i = 0; i < rec.frames; ++i) sum = sum + rec.samples[i];
    if (err[0]) std::abort();  // success never writes a message
    qv_wav_free(&rec);
  } else if (!err[0] || rec.samples || rec.frames || rec.sample_rate) {
    std::abort();  // a failure always explains itself and leaves an empty record
  }
  return 0;
}
