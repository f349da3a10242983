// Cloning the "custom" voice from a reference recording.
#include <cstring>

#include "catalogue.h"
#include "fft.h"
#include "ondrelix.h"
#include "pipeline.h"
#include "report.h"
#include "runtime.h"

namespace {

constexpr int32_t kMaxReferenceSamples = 30 * qv::kModelRate;  // 661500
constexpr size_t kReaderMessageSize = 512;

void publish_clone_report(int32_t used, int32_t file_rate, const char **report) {
  qv::report_builder()
      .text("status", "ok")
      .text("voice", "custom")
      .real("reference_s", used / static_cast<double>(qv::kModelRate))
      .real("reference_rate", static_cast<double>(file_rate))
      .boolean("cloned", true)
      .publish(report);
}

int embed_reference(const model_signal &clip, float *embedding, int32_t &used) {
  if (!g_initialized || !g_sess_speaker) {
    set_error("ondrelix is not initialized (call ondrelix_init first)");
    return -1;
  }
  if (!clip.samples || clip.count < qv::kMinModelSamples) {
    set_error("Reference clip too short for embedding (need at least 47 ms)");
    return -1;
  }
  used = clip.count > kMaxReferenceSamples ? kMaxReferenceSamples : clip.count;
  float *raw_spec = nullptr;
  int32_t frames = 0;
  if (qv_compute_spectrogram(clip.samples, used, &raw_spec, &frames) != 0 || frames < 1) {
    std::free(raw_spec);
    set_error("Failed to compute spectrogram of reference clip");
    return -1;
  }
  qv::malloc_ptr<float> spec(raw_spec);
  return run_speaker_encoder(spec.get(), frames, "CreateTensor ref_spec",
                             "Run SpeakerEncoder (reference clip)", embedding);
}

int load_voice(const char *wav_path, const char **report) {
  if (!g_initialized) {
    set_error("ondrelix is not initialized");
    return -1;
  }
  if (!wav_path || !wav_path[0]) {
    set_error("wav_path is NULL or empty");
    return -1;
  }
  model_signal clip;
  char message[kReaderMessageSize] = {};
  const model_signal_status status = read_model_signal(wav_path, clip, message, sizeof message);
  if (status == model_signal_status::read_failed)
    set_error("Failed to read reference clip: %s", message);
  if (status == model_signal_status::resample_failed)
    set_error("Failed to resample reference clip to 22050 Hz");
  if (status != model_signal_status::ok) return -1;
  float embedding[qv::kEmbeddingSize];
  int32_t used = 0;
  if (embed_reference(clip, embedding, used) != 0) return -1;

  // The slot changes only once the new voice is complete; the flag follows the data.
  std::memcpy(g_custom_emb, embedding, sizeof embedding);
  g_custom_loaded = 1;
  publish_clone_report(used, clip.rec.sample_rate, report);
  return 0;
}

}  // namespace

extern "C" ONDRELIX_API int ondrelix_load_voice(const char *wav_path, const char **report) {
  return qv::guard_export("ondrelix_load_voice", -1, [&] { return load_voice(wav_path, report); });
}
