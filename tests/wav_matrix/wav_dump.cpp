// Reads a WAV file with the library's reader and writes what it got to standard output: a line
// "RATE FRAMES", then the mono samples as raw float32. On failure the reader's message goes to
// standard error and the exit status is 1.
//   wav_dump FILE.wav
#include <cstdio>

#include "audio/wav.h"

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: wav_dump FILE.wav\n");
    return 2;
  }
  qv_wav rec{};
  char err[512] = "";
  if (qv_wav_read(argv[1], &rec, err, sizeof err) != 0) {
    std::fprintf(stderr, "%s\n", err);
    return 1;
  }
  std::printf("%d %d\n", rec.sample_rate, rec.frames);
  std::fwrite(rec.samples, sizeof(float), static_cast<size_t>(rec.frames), stdout);
  qv_wav_free(&rec);
  return 0;
}
