// Embedding files of arbitrary bytes: the catalogue always ends with one to three stock voices
// and every lookup returns one of them.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/catalogue.h"

namespace {

void write_part(const std::string &path, const uint8_t *data, size_t size) {
  if (size == 0) {
    std::remove(path.c_str());
    return;
  }
  FILE *f = std::fopen(path.c_str(), "wb");
  if (!f) return;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
}

const std::string &scratch_dir() {
  static const std::string dir = "/tmp/ondrelix-fuzz-models-" + std::to_string(getpid());
  return dir;
}

// A run ends by exit() (at its time limit too): the scratch folder goes with it.
void remove_scratch() {
  for (const char *name : {"female.bin", "deep.bin", "robot.bin"})
    std::remove((scratch_dir() + "/" + name).c_str());
  rmdir(scratch_dir().c_str());
}

}  // namespace

// The input is split in three at its first two bytes' positions: female.bin, deep.bin, robot.bin
// (an empty part means no file).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string &dir = scratch_dir();
  static const bool made =
      (mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST) && std::atexit(remove_scratch) == 0;
  if (!made || size < 2) return 0;
  const size_t body = size - 2;
  const size_t a = body ? data[0] * body / 255 : 0;
  const size_t b = a + (body - a) * data[1] / 255;
  const uint8_t *p = data + 2;
  write_part(dir + "/female.bin", p, a);
  write_part(dir + "/deep.bin", p + a, b - a);
  write_part(dir + "/robot.bin", p + b, body - b);
  qv::voice_catalogue voices;
  voices.load(dir.c_str());
  if (voices.count() < 1 || voices.count() > 3) std::abort();
  for (const char *name : {"female", "deep", "robot", "custom", "", "x"}) {
    const float *e = voices.embedding(name);
    bool found = false;
    for (int i = 0; i < voices.count(); ++i) found = found || e == voices.entry(i).embedding;
    if (!found) std::abort();
  }
  return 0;
}
