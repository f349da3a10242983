// Cloning the "custom" voice from a reference recording.
#include <cstring>

#include "engine.h"
#include "fft.h"
#include "ondrelix.h"
#include "resample.h"
#include "wav.h"

namespace {

constexpr int32_t kMaxReferenceSamples = 30 * qv::kModelRate;  // 661500
constexpr size_t kReaderMessageSize = 512;

// The clip brought to the models' rate: either the record's own samples or a resampled copy.
struct working_signal {
  qv_wav rec{nullptr, 0, 0};
  float *samples = nullptr;
  int32_t count = 0;
  ~working_signal() {
    if (samples != rec.samples) std::free(samples);
    qv_wav_free(&rec);
  }
};

yyjson_mut_doc *build_clone_report(int32_t used, int32_t file_rate) {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  if (!doc) return nullptr;
  yyjson_mut_val *root = yyjson_mut_obj(doc);
  if (!root) return doc;
  yyjson_mut_doc_set_root(doc, root);
  yyjson_mut_obj_add_str(doc, root, "status", "ok");
  yyjson_mut_obj_add_str(doc, root, "voice", "custom");
  yyjson_mut_obj_add_real(doc, root, "reference_s", used / static_cast<double>(qv::kModelRate));
  yyjson_mut_obj_add_real(doc, root, "reference_rate", static_cast<double>(file_rate));
  yyjson_mut_obj_add_bool(doc, root, "cloned", true);
  return doc;
}

int embed_reference(const working_signal &clip, float *embedding, int32_t &used) {
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
  working_signal clip;
  char message[kReaderMessageSize] = {};
  if (qv_wav_read(wav_path, &clip.rec, message, sizeof message) != 0) {
    set_error("Failed to read reference clip: %s", message);
    return -1;
  }
  if (clip.rec.sample_rate == qv::kModelRate) {
    clip.samples = clip.rec.samples;
    clip.count = clip.rec.frames;
  } else if (qv_resample(clip.rec.samples, clip.rec.frames, clip.rec.sample_rate, &clip.samples,
                         &clip.count, qv::kModelRate) != 0) {
    set_error("Failed to resample reference clip to 22050 Hz");
    return -1;
  }
  float embedding[qv::kEmbeddingSize];
  int32_t used = 0;
  if (embed_reference(clip, embedding, used) != 0) return -1;

  // The slot changes only once the new voice is complete; the flag follows the data.
  std::memcpy(g_custom_emb, embedding, sizeof embedding);
  g_custom_loaded = 1;
  publish_report(build_clone_report(used, clip.rec.sample_rate), report);
  return 0;
}

}  // namespace

extern "C" ONDRELIX_API int ondrelix_load_voice(const char *wav_path, const char **report) {
  try {
    return load_voice(wav_path, report);
  } catch (...) {
    set_error("Internal error during ondrelix_load_voice");
    return -1;
  }
}
