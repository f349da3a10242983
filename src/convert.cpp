// Converting one WAV file into another with a chosen voice.
#include <cmath>

#include "engine.h"
#include "ondrelix.h"
#include "resample.h"
#include "wav.h"

namespace {

constexpr size_t kMessageSize = 256;
// 2 pi * 180 rounded to single precision: a 180 Hz amplitude modulation at 22050 Hz.
constexpr float kRobotOmega = 1130.9734f;

// Gain 0.8 + 0.2 sin(2 pi 180 i / 22050), computed in single precision so the first sample is
// scaled by exactly 0.8.
void apply_robot_modulation(float *samples, int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    const float angle = static_cast<float>(i) * kRobotOmega / static_cast<float>(qv::kModelRate);
    samples[i] *= std::sin(angle) * 0.2f + 0.8f;
  }
}

yyjson_mut_doc *build_convert_report(const char *voice, const char *in_path, const char *out_path,
                                     int32_t out_count, double elapsed_ms) {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  if (!doc) return nullptr;
  yyjson_mut_val *root = yyjson_mut_obj(doc);
  if (!root) return doc;
  yyjson_mut_doc_set_root(doc, root);
  const double duration_s = out_count / static_cast<double>(qv::kModelRate);
  yyjson_mut_obj_add_str(doc, root, "status", "ok");
  yyjson_mut_obj_add_str(doc, root, "voice", voice ? voice : "default");
  yyjson_mut_obj_add_str(doc, root, "in_path", in_path);
  yyjson_mut_obj_add_str(doc, root, "out_path", out_path);
  yyjson_mut_obj_add_real(doc, root, "duration_s", duration_s);
  yyjson_mut_obj_add_real(doc, root, "elapsed_ms", elapsed_ms);
  yyjson_mut_obj_add_real(doc, root, "rtf", elapsed_ms / 1000.0 / duration_s);
  return doc;
}

// Reads the input and brings it to the models' rate. `signal` is the record's own samples when
// the file already has that rate, else a separate buffer the caller frees.
int read_model_rate_signal(const char *in_path, qv_wav &rec, float *&signal, int32_t &count,
                           char *message) {
  if (qv_wav_read(in_path, &rec, message, kMessageSize) != 0) {
    set_error("WAV read failed: %s", message);
    return -1;
  }
  if (rec.sample_rate == qv::kModelRate) {
    signal = rec.samples;
    count = rec.frames;
    return 0;
  }
  if (qv_resample(rec.samples, rec.frames, rec.sample_rate, &signal, &count, qv::kModelRate) != 0) {
    qv_wav_free(&rec);
    set_error("Resampling to 22050 Hz failed");
    return -1;
  }
  return 0;
}

int convert_file(const char *in_path, const char *out_path, const char *voice,
                 const char **report) {
  if (!g_initialized) {
    set_error("ondrelix is not initialized");
    return -1;
  }
  if (!in_path || !out_path) {
    set_error("Input or output file path is NULL");
    return -1;
  }
  const double start = now_ms();
  char message[kMessageSize] = {};
  qv_wav rec{nullptr, 0, 0};
  float *signal = nullptr;
  int32_t count = 0;
  if (read_model_rate_signal(in_path, rec, signal, count, message) != 0) return -1;

  const float *target = get_voice_embedding(voice);
  float *converted = nullptr;
  int32_t converted_count = 0;
  const int status = run_openvoice_inference(signal, count, target, &converted, &converted_count);
  if (signal != rec.samples) std::free(signal);
  qv_wav_free(&rec);
  if (status != 0) return -1;
  qv::malloc_ptr<float> output(converted);

  if (voice && qv::ascii_iequals(voice, "robot") && converted_count > 0)
    apply_robot_modulation(output.get(), converted_count);
  if (qv_wav_write(out_path, output.get(), converted_count, qv::kModelRate, message,
                   kMessageSize) != 0) {
    set_error("WAV write failed: %s", message);
    return -1;
  }
  const double elapsed_ms = now_ms() - start;
  output.reset();
  publish_report(build_convert_report(voice, in_path, out_path, converted_count, elapsed_ms),
                 report);
  return 0;
}

}  // namespace

extern "C" ONDRELIX_API int ondrelix_convert_file(const char *in_path, const char *out_path,
                                                  const char *voice, const char **report) {
  try {
    return convert_file(in_path, out_path, voice, report);
  } catch (...) {
    set_error("Internal error during ondrelix_convert_file");
    return -1;
  }
}
