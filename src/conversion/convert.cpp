// Converting one WAV file into another with a chosen voice.
#include "conversion/convert.h"

#include "audio/wav.h"
#include "conversion/pipeline.h"
#include "conversion/staged_output.h"
#include "engine/report.h"
#include "platform/files.h"
#include "signal/effects.h"

namespace {

constexpr size_t kMessageSize = 256;
constexpr model_signal_messages kInputMessages = {"WAV read failed: %s",
                                                  "Resampling to 22050 Hz failed"};

// Reads the input and converts it; on success `output` holds the converted 22050 Hz signal.
qv::status convert_signal(const qv::engine &engine, const char *in_path, const qv::voice &voice,
                          qv::malloc_ptr<float> &output, int32_t &output_count) {
  model_signal input;
  qv::status step = read_model_signal(in_path, input, kInputMessages);
  if (!step.ok()) return step;
  float *converted = nullptr;
  step = run_openvoice_inference(engine, input.samples, input.count, voice.embedding, &converted,
                                 &output_count);
  if (step.ok()) output.reset(converted);
  return step;
}

// Writes the converted signal to OUT through its staging file.
qv::status write_output(const char *out_path, const float *samples, int32_t count) {
  const std::string staging = qv::staging_path(out_path);
  char message[kMessageSize] = {};
  if (qv_wav_write(staging.c_str(), samples, count, qv::kModelRate, message, kMessageSize) != 0) {
    if (staging != out_path) qv::remove_file(staging.c_str());
    return qv::status::failure("WAV write failed: %s",
                               qv::as_output_message(message, staging, out_path).c_str());
  }
  if (!qv::publish_output(staging, out_path)) {
    qv::remove_file(staging.c_str());
    return qv::status::failure("WAV write failed: Failed to write output WAV file: %s", out_path);
  }
  return qv::status();
}

}  // namespace

namespace qv {

status convert_file(const engine &engine, const char *in_path, const char *out_path,
                    const char *voice_name, int64_t &out_count) {
  if (!engine.initialized()) return status::failure("ondrelix is not initialized");
  if (!in_path || !out_path) return status::failure("Input or output file path is NULL");
  const voice voice = engine.voices().resolve(voice_name);
  // A long signal: converted in pieces, in bounded memory.
  if (wants_pieces(in_path)) return convert_in_pieces(engine, in_path, out_path, voice, out_count);
  qv::malloc_ptr<float> output;
  int32_t count = 0;
  status step = convert_signal(engine, in_path, voice, output, count);
  if (!step.ok()) return step;
  if (count > 0) qv_apply_file_effect(voice.file_effect, output.get(), count);
  step = write_output(out_path, output.get(), count);
  if (step.ok()) out_count = count;
  return step;
}

void publish_convert_report(const char *voice, const char *in_path, const char *out_path,
                            int64_t out_count, double elapsed_ms, const char **report) {
  const double duration_s = static_cast<double>(out_count) / kModelRate;
  report_builder()
      .text("status", "ok")
      .text("voice", voice ? voice : "default")
      .text("in_path", in_path)
      .text("out_path", out_path)
      .real("duration_s", duration_s)
      .real("elapsed_ms", elapsed_ms)
      .real("rtf", elapsed_ms / 1000.0 / duration_s)
      .publish(report);
}

}  // namespace qv
