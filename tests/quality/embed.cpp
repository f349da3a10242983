// Prints the speaker encoder's embedding of each WAV file as one line of 256 numbers, the way
// the library computes it when it clones a voice (read, resample to 22050 Hz, spectrogram,
// speaker encoder).
//   embed MODELS_DIR FILE.wav...
#include <cstdio>
#include <cstdlib>

#include "engine.h"
#include "fft.h"
#include "ondrelix.h"
#include "resample.h"
#include "wav.h"

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: embed MODELS_DIR FILE.wav...\n");
    return 2;
  }
  if (ondrelix_init(argv[1], nullptr) != 0) {
    std::fprintf(stderr, "embed: %s\n", ondrelix_last_error());
    return 1;
  }
  for (int i = 2; i < argc; ++i) {
    qv_wav rec{};
    char err[256] = "";
    if (qv_wav_read(argv[i], &rec, err, sizeof err) != 0) {
      std::fprintf(stderr, "embed: %s\n", err);
      return 1;
    }
    float *signal = rec.samples;
    int32_t count = rec.frames;
    if (rec.sample_rate != 22050 &&
        qv_resample(rec.samples, rec.frames, rec.sample_rate, &signal, &count, 22050) != 0)
      return 1;
    float *spec = nullptr;
    int32_t frames = 0;
    float emb[256];
    if (qv_compute_spectrogram(signal, count, &spec, &frames) != 0 ||
        run_speaker_encoder(spec, frames, "tensor", "run", emb) != 0) {
      std::fprintf(stderr, "embed: %s\n", ondrelix_last_error());
      return 1;
    }
    for (int k = 0; k < 256; ++k) std::printf("%s%.7g", k ? " " : "", emb[k]);
    std::printf("\n");
    std::free(spec);
    if (signal != rec.samples) std::free(signal);
    qv_wav_free(&rec);
  }
  ondrelix_cleanup();
  return 0;
}
