// Converting one WAV file into another with a chosen voice.
#include "convert.h"

#include "catalogue.h"
#include "effects.h"
#include "ondrelix.h"
#include "pipeline.h"
#include "report.h"
#include "runtime.h"

namespace {

constexpr size_t kMessageSize = 256;

void publish_convert_report(const char *voice, const char *in_path, const char *out_path,
                            int64_t out_count, double elapsed_ms, const char **report) {
  const double duration_s = static_cast<double>(out_count) / qv::kModelRate;
  qv::report_builder()
      .text("status", "ok")
      .text("voice", voice ? voice : "default")
      .text("in_path", in_path)
      .text("out_path", out_path)
      .real("duration_s", duration_s)
      .real("elapsed_ms", elapsed_ms)
      .real("rtf", elapsed_ms / 1000.0 / duration_s)
      .publish(report);
}

// Reads the input and converts it; on success `output` holds the converted 22050 Hz signal.
int convert_signal(const char *in_path, const char *voice, qv::malloc_ptr<float> &output,
                   int32_t &output_count, char *message) {
  model_signal input;
  const model_signal_status status = read_model_signal(in_path, input, message, kMessageSize);
  if (status == model_signal_status::read_failed) set_error("WAV read failed: %s", message);
  if (status == model_signal_status::resample_failed) set_error("Resampling to 22050 Hz failed");
  if (status != model_signal_status::ok) return -1;
  float *converted = nullptr;
  if (run_openvoice_inference(input.samples, input.count, get_voice_embedding(voice), &converted,
                              &output_count) != 0)
    return -1;
  output.reset(converted);
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
  if (wants_pieces(in_path)) {
    // A long signal: converted in pieces, in bounded memory.
    int64_t count = 0;
    if (convert_in_pieces(in_path, out_path, voice, count) != 0) return -1;
    publish_convert_report(voice, in_path, out_path, count, now_ms() - start, report);
    return 0;
  }
  char message[kMessageSize] = {};
  qv::malloc_ptr<float> output;
  int32_t count = 0;
  if (convert_signal(in_path, voice, output, count, message) != 0) return -1;
  if (count > 0) qv_apply_file_effect(file_effect_for(voice), output.get(), count);
  if (qv_wav_write(out_path, output.get(), count, qv::kModelRate, message, kMessageSize) != 0) {
    set_error("WAV write failed: %s", message);
    return -1;
  }
  const double elapsed_ms = now_ms() - start;
  output.reset();
  publish_convert_report(voice, in_path, out_path, count, elapsed_ms, report);
  return 0;
}

}  // namespace

extern "C" ONDRELIX_API int ondrelix_convert_file(const char *in_path, const char *out_path,
                                                  const char *voice, const char **report) {
  return qv::guard_export("ondrelix_convert_file", -1,
                          [&] { return convert_file(in_path, out_path, voice, report); });
}
