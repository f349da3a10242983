// The WAV reader on arbitrary bytes: it must fail with a message or succeed with a record whose
// samples can all be read, and leave nothing allocated.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "audio/wav.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string path = "/tmp/ondrelix-fuzz-wav-" + std::to_string(getpid()) + ".wav";
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
