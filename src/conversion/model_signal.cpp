// Reading a WAV file at the models' rate, for file conversion, cloning and the tools.
#include "common.h"
#include "conversion/pipeline.h"
#include "signal/resample.h"

namespace {
constexpr size_t kReaderMessageSize = 512;
}  // namespace

void model_signal::release() {
  if (samples != rec.samples) std::free(samples);
  samples = nullptr;
  count = 0;
  qv_wav_free(&rec);
}

qv::status read_model_signal(const char *path, model_signal &signal,
                             const model_signal_messages &messages) {
  signal.release();
  char reader_message[kReaderMessageSize] = {};
  if (qv_wav_read(path, &signal.rec, reader_message, sizeof reader_message) != 0)
    return qv::status::failure(messages.read_failed, reader_message);
  if (signal.rec.sample_rate == qv::kModelRate) {
    signal.samples = signal.rec.samples;
    signal.count = signal.rec.frames;
    return qv::status();
  }
  if (qv_resample(signal.rec.samples, signal.rec.frames, signal.rec.sample_rate, &signal.samples,
                  &signal.count, qv::kModelRate) != 0) {
    signal.release();
    return qv::status::failure("%s", messages.resample_failed);
  }
  return qv::status();
}
