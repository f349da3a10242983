// Prints the speaker encoder's embedding of each WAV file as one line of 256 numbers, the way
// the library computes it when it clones a voice (read at 22050 Hz, spectrogram, speaker
// encoder).
//   embed MODELS_DIR FILE.wav...
#include <cstdio>
#include <cstdlib>

#include "common.h"
#include "conversion/pipeline.h"
#include "defaults.h"
#include "ondrelix.h"
#include "signal/fft.h"

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
    model_signal signal;
    const qv::status read = read_model_signal(argv[i], signal, {"%s", "cannot resample"});
    if (!read.ok()) {
      std::fprintf(stderr, "embed: %s: %s\n", argv[i], read.message());
      return 1;
    }
    float *raw_spec = nullptr;
    int32_t frames = 0;
    float emb[qv::kEmbeddingSize];
    if (qv_compute_spectrogram(signal.samples, signal.count, &raw_spec, &frames) != 0) {
      std::fprintf(stderr, "embed: %s is too short\n", argv[i]);
      return 1;
    }
    qv::malloc_ptr<float> spec(raw_spec);
    const qv::status encoded =
        run_speaker_encoder(qv::default_engine(), spec.get(), frames, "tensor", "run", emb);
    if (!encoded.ok()) {
      std::fprintf(stderr, "embed: %s\n", encoded.message());
      return 1;
    }
    for (int k = 0; k < qv::kEmbeddingSize; ++k) std::printf("%s%.7g", k ? " " : "", emb[k]);
    std::printf("\n");
  }
  ondrelix_cleanup();
  return 0;
}
