// Reading a WAV file at the models' rate, for file conversion, cloning and the tools.
#include "common.h"
#include "pipeline.h"
#include "resample.h"

void model_signal::release() {
  if (samples != rec.samples) std::free(samples);
  samples = nullptr;
  count = 0;
  qv_wav_free(&rec);
}

model_signal_status read_model_signal(const char *path, model_signal &signal, char *err,
                                      size_t err_size) {
  signal.release();
  if (qv_wav_read(path, &signal.rec, err, err_size) != 0) return model_signal_status::read_failed;
  if (signal.rec.sample_rate == qv::kModelRate) {
    signal.samples = signal.rec.samples;
    signal.count = signal.rec.frames;
    return model_signal_status::ok;
  }
  if (qv_resample(signal.rec.samples, signal.rec.frames, signal.rec.sample_rate, &signal.samples,
                  &signal.count, qv::kModelRate) != 0) {
    signal.release();
    return model_signal_status::resample_failed;
  }
  return model_signal_status::ok;
}
