// Cloning a voice from a reference recording.
#include "conversion/clone.h"

#include "conversion/pipeline.h"
#include "engine/report.h"
#include "signal/fft.h"

namespace {

constexpr int32_t kMaxReferenceSamples = 30 * qv::kModelRate;  // 661500
constexpr model_signal_messages kReferenceMessages = {
    "Failed to read reference clip: %s", "Failed to resample reference clip to 22050 Hz"};

qv::status embed_reference(const qv::engine &engine, const model_signal &clip, float *embedding,
                           int32_t &used) {
  if (!engine.initialized() || !engine.speaker())
    return qv::status::failure("ondrelix is not initialized (call ondrelix_init first)");
  if (!clip.samples || clip.count < qv::kMinModelSamples)
    return qv::status::failure("Reference clip too short for embedding (need at least 47 ms)");
  used = clip.count > kMaxReferenceSamples ? kMaxReferenceSamples : clip.count;
  float *raw_spec = nullptr;
  int32_t frames = 0;
  if (qv_compute_spectrogram(clip.samples, used, &raw_spec, &frames) != 0 || frames < 1) {
    std::free(raw_spec);
    return qv::status::failure("Failed to compute spectrogram of reference clip");
  }
  qv::malloc_ptr<float> spec(raw_spec);
  return run_speaker_encoder(engine, spec.get(), frames, "CreateTensor ref_spec",
                             "Run SpeakerEncoder (reference clip)", embedding);
}

}  // namespace

namespace qv {

status clone_voice(const engine &engine, const char *wav_path, cloned_voice &clone) {
  if (!engine.initialized()) return status::failure("ondrelix is not initialized");
  if (!wav_path || !wav_path[0]) return status::failure("wav_path is NULL or empty");
  model_signal clip;
  status step = read_model_signal(wav_path, clip, kReferenceMessages);
  if (!step.ok()) return step;
  step = embed_reference(engine, clip, clone.embedding, clone.used);
  clone.file_rate = clip.rec.sample_rate;
  return step;
}

void publish_clone_report(const cloned_voice &clone, const char **report) {
  report_builder()
      .text("status", "ok")
      .text("voice", "custom")
      .real("reference_s", clone.used / static_cast<double>(kModelRate))
      .real("reference_rate", static_cast<double>(clone.file_rate))
      .boolean("cloned", true)
      .publish(report);
}

}  // namespace qv
