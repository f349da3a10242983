// The conversion pipeline: spectrogram, speaker encoder (source voice), converter (target voice).
#include "conversion/pipeline.h"

#include <cstring>
#include <initializer_list>

#include "common.h"
#include "engine/runtime.h"
#include "signal/fft.h"

namespace {

constexpr float kTau = 0.3f;
constexpr int kNoiseChannels = 192;

// Element count of a tensor, or -1 when the runtime cannot tell.
int64_t element_count(const OrtValue *value) {
  const OrtApi *ort = get_ort_api();
  OrtTensorTypeAndShapeInfo *info = nullptr;
  OrtStatus *status = ort->GetTensorTypeAndShape(value, &info);
  if (status || !info) {
    ort_ignore(status);
    return -1;
  }
  size_t count = 0;
  status = ort->GetTensorShapeElementCount(info, &count);
  ort->ReleaseTensorTypeAndShapeInfo(info);
  if (status) {
    ort_ignore(status);
    return -1;
  }
  return static_cast<int64_t>(count);
}

void *tensor_data(OrtValue *value) {
  void *data = nullptr;
  ort_ignore(get_ort_api()->GetTensorMutableData(value, &data));
  return data;
}

// A float tensor over memory the caller owns; the runtime reads it in place.
OrtStatus *float_tensor(OrtMemoryInfo *memory, float *data, size_t count, const int64_t *shape,
                        size_t rank, qv::ort_value &out) {
  OrtValue *raw = nullptr;
  OrtStatus *status = get_ort_api()->CreateTensorWithDataAsOrtValue(
      memory, data, count * sizeof(float), shape, rank, ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &raw);
  out.reset(raw);
  return status;
}

OrtStatus *spec_tensor(OrtMemoryInfo *memory, float *spec, int32_t frames, qv::ort_value &out) {
  const int64_t shape[3] = {1, qv::kSpecBins, frames};
  return float_tensor(memory, spec,
                      static_cast<size_t>(qv::kSpecBins) * static_cast<size_t>(frames), shape, 3,
                      out);
}

// Copies the converter's "audio" output into a new malloc'ed buffer.
qv::status take_audio(OrtValue *audio, float **out_samples, int32_t *out_count) {
  int64_t count = element_count(audio);
  if (count < 0) count = 0;  // an unreadable shape counts as no audio
  if (count > INT32_MAX)
    return qv::status::failure("Converter output holds %lld samples, more than a signal can hold",
                               static_cast<long long>(count));
  const float *data = count > 0 ? static_cast<const float *>(tensor_data(audio)) : nullptr;
  if (count > 0 && !data)
    return qv::status::failure("Converter returned no data for its \"audio\" output");
  float *buffer = static_cast<float *>(std::malloc(static_cast<size_t>(count > 0 ? count : 1) * 4));
  if (!buffer) return qv::status::failure("Memory allocation failed for output audio");
  if (count > 0) std::memcpy(buffer, data, static_cast<size_t>(count) * sizeof(float));
  *out_samples = buffer;
  *out_count = static_cast<int32_t>(count);
  return qv::status();
}

}  // namespace

qv::status run_speaker_encoder(const qv::engine &engine, float *spec, int32_t frames,
                               const char *tensor_label, const char *run_label, float *embedding) {
  const OrtApi *ort = get_ort_api();
  qv::ort_value input;
  qv::status step = ort_failure(tensor_label, spec_tensor(engine.memory(), spec, frames, input));
  if (!step.ok()) return step;
  const char *input_names[1] = {"spec"};
  const char *output_names[1] = {"speaker"};
  const OrtValue *inputs[1] = {input.get()};
  OrtValue *raw_output = nullptr;
  OrtStatus *status =
      ort->Run(engine.speaker(), nullptr, input_names, inputs, 1, output_names, 1, &raw_output);
  input.reset();
  qv::ort_value output(raw_output);
  step = ort_failure(run_label, status);
  if (!step.ok()) return step;
  // A model that gives fewer than 256 values would otherwise be read past the end of its buffer.
  const int64_t count = element_count(output.get());
  if (count < qv::kEmbeddingSize)
    return qv::status::failure("Speaker encoder output holds %lld values, expected at least %d",
                               static_cast<long long>(count), qv::kEmbeddingSize);
  const float *data = static_cast<const float *>(tensor_data(output.get()));
  if (!data)
    return qv::status::failure("Speaker encoder returned no data for its \"speaker\" output");
  std::memcpy(embedding, data, qv::kEmbeddingSize * sizeof(float));
  return step;
}

namespace {

// The spectrogram of a model-rate signal (an engine not started, or a signal too short for the
// models, is refused first).
qv::status spectrogram_of(const qv::engine &engine, const float *samples, int32_t sample_count,
                          qv::malloc_ptr<float> &spec, int32_t &frames) {
  frames = 0;
  if (!engine.initialized() || !samples || sample_count < qv::kMinModelSamples)
    return qv::status::failure("Invalid inference parameters");
  float *raw_spec = nullptr;
  if (qv_compute_spectrogram(samples, sample_count, &raw_spec, &frames) != 0 || frames < 1) {
    std::free(raw_spec);
    return qv::status::failure("Failed to compute spectrogram");
  }
  spec.reset(raw_spec);
  return qv::status();
}

// Runs the converter on a spectrogram with the two embeddings; frees the spectrogram (through
// `spec`) before copying the output, which keeps the peak memory of a long signal down.
qv::status run_converter(const qv::engine &engine, qv::malloc_ptr<float> &spec, int32_t frames,
                         const float *source_embedding, const float *target_embedding,
                         float **out_samples, int32_t *out_count) {
  const OrtApi *ort = get_ort_api();
  OrtMemoryInfo *memory = engine.memory();
  qv::ort_value spec_value;
  qv::status step =
      ort_failure("CreateTensor val_spec", spec_tensor(memory, spec.get(), frames, spec_value));
  if (!step.ok()) return step;
  qv::malloc_ptr<float> noise(static_cast<float *>(
      std::calloc(static_cast<size_t>(kNoiseChannels) * static_cast<size_t>(frames), 4)));
  if (!noise)
    return qv::status::failure("Memory allocation failed for noise input (%d frames)", frames);

  // Tensors whose creation fails stay empty; the converter run then fails and reports it.
  int64_t frame_count = frames;
  float tau = kTau;
  const int64_t length_shape[1] = {1};
  const int64_t embedding_shape[3] = {1, qv::kEmbeddingSize, 1};
  const int64_t noise_shape[3] = {1, kNoiseChannels, frames};
  qv::ort_value lengths, g_src, g_tgt, noise_value, tau_value;
  OrtValue *raw = nullptr;
  ort_ignore(ort->CreateTensorWithDataAsOrtValue(memory, &frame_count, sizeof frame_count,
                                                 length_shape, 1,
                                                 ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64, &raw));
  lengths.reset(raw);
  ort_ignore(float_tensor(memory, const_cast<float *>(source_embedding), qv::kEmbeddingSize,
                          embedding_shape, 3, g_src));
  ort_ignore(float_tensor(memory, const_cast<float *>(target_embedding), qv::kEmbeddingSize,
                          embedding_shape, 3, g_tgt));
  ort_ignore(float_tensor(memory, noise.get(), static_cast<size_t>(kNoiseChannels) * frames,
                          noise_shape, 3, noise_value));
  ort_ignore(float_tensor(memory, &tau, 1, nullptr, 0, tau_value));

  const char *input_names[6] = {"spec", "spec_lengths", "g_src", "g_tgt", "noise", "tau"};
  const OrtValue *inputs[6] = {spec_value.get(), lengths.get(),     g_src.get(),
                               g_tgt.get(),      noise_value.get(), tau_value.get()};
  const char *output_names[1] = {"audio"};
  OrtValue *raw_audio = nullptr;
  OrtStatus *status =
      ort->Run(engine.converter(), nullptr, input_names, inputs, 6, output_names, 1, &raw_audio);
  qv::ort_value audio(raw_audio);
  for (qv::ort_value *value : {&spec_value, &lengths, &g_src, &g_tgt, &noise_value, &tau_value})
    value->reset();
  noise.reset();
  spec.reset();
  step = ort_failure("Run Converter", status);
  if (!step.ok()) return step;
  return take_audio(audio.get(), out_samples, out_count);
}

}  // namespace

qv::status run_openvoice_inference(const qv::engine &engine, const float *samples,
                                   int32_t sample_count, const float *target_embedding,
                                   float **out_samples, int32_t *out_count) {
  int32_t frames = 0;
  qv::malloc_ptr<float> spec;
  qv::status step = spectrogram_of(engine, samples, sample_count, spec, frames);
  if (!step.ok()) return step;
  // One spectrogram serves both models.
  float source_embedding[qv::kEmbeddingSize];
  step = run_speaker_encoder(engine, spec.get(), frames, "CreateTensor val_spec_spk",
                             "Run SpeakerEncoder", source_embedding);
  if (!step.ok()) return step;
  return run_converter(engine, spec, frames, source_embedding, target_embedding, out_samples,
                       out_count);
}

qv::status measure_source_embedding(const qv::engine &engine, const float *samples,
                                    int32_t sample_count, float *embedding) {
  int32_t frames = 0;
  qv::malloc_ptr<float> spec;
  qv::status step = spectrogram_of(engine, samples, sample_count, spec, frames);
  if (!step.ok()) return step;
  return run_speaker_encoder(engine, spec.get(), frames, "CreateTensor val_spec_spk",
                             "Run SpeakerEncoder", embedding);
}

qv::status convert_with_source(const qv::engine &engine, const float *samples, int32_t sample_count,
                               const float *source_embedding, const float *target_embedding,
                               float **out_samples, int32_t *out_count) {
  int32_t frames = 0;
  qv::malloc_ptr<float> spec;
  qv::status step = spectrogram_of(engine, samples, sample_count, spec, frames);
  if (!step.ok()) return step;
  return run_converter(engine, spec, frames, source_embedding, target_embedding, out_samples,
                       out_count);
}
