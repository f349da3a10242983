// The conversion pipeline: spectrogram, speaker encoder (source voice), converter (target voice).
#include "pipeline.h"

#include <cstring>
#include <initializer_list>

#include "common.h"
#include "fft.h"
#include "report.h"
#include "runtime.h"

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
OrtStatus *float_tensor(float *data, size_t count, const int64_t *shape, size_t rank,
                        qv::ort_value &out) {
  OrtValue *raw = nullptr;
  OrtStatus *status = get_ort_api()->CreateTensorWithDataAsOrtValue(
      g_mem, data, count * sizeof(float), shape, rank, ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &raw);
  out.reset(raw);
  return status;
}

OrtStatus *spec_tensor(float *spec, int32_t frames, qv::ort_value &out) {
  const int64_t shape[3] = {1, qv::kSpecBins, frames};
  return float_tensor(spec, static_cast<size_t>(qv::kSpecBins) * static_cast<size_t>(frames), shape,
                      3, out);
}

// Copies the converter's "audio" output into a new malloc'ed buffer.
int take_audio(OrtValue *audio, float **out_samples, int32_t *out_count) {
  int64_t count = element_count(audio);
  if (count < 0) count = 0;  // an unreadable shape counts as no audio
  if (count > INT32_MAX) {
    set_error("Converter output holds %lld samples, more than a signal can hold",
              static_cast<long long>(count));
    return -1;
  }
  const float *data = count > 0 ? static_cast<const float *>(tensor_data(audio)) : nullptr;
  if (count > 0 && !data) {
    set_error("Converter returned no data for its \"audio\" output");
    return -1;
  }
  float *buffer = static_cast<float *>(std::malloc(static_cast<size_t>(count > 0 ? count : 1) * 4));
  if (!buffer) {
    set_error("Memory allocation failed for output audio");
    return -1;
  }
  if (count > 0) std::memcpy(buffer, data, static_cast<size_t>(count) * sizeof(float));
  *out_samples = buffer;
  *out_count = static_cast<int32_t>(count);
  return 0;
}

}  // namespace

int run_speaker_encoder(float *spec, int32_t frames, const char *tensor_label,
                        const char *run_label, float *embedding) {
  const OrtApi *ort = get_ort_api();
  qv::ort_value input;
  if (OrtStatus *status = spec_tensor(spec, frames, input)) {
    ort_fail(tensor_label, status);
    return -1;
  }
  const char *input_names[1] = {"spec"};
  const char *output_names[1] = {"speaker"};
  const OrtValue *inputs[1] = {input.get()};
  OrtValue *raw_output = nullptr;
  OrtStatus *status =
      ort->Run(g_sess_speaker, nullptr, input_names, inputs, 1, output_names, 1, &raw_output);
  input.reset();
  qv::ort_value output(raw_output);
  if (status) {
    ort_fail(run_label, status);
    return -1;
  }
  // A model that gives fewer than 256 values would otherwise be read past the end of its buffer.
  const int64_t count = element_count(output.get());
  if (count < qv::kEmbeddingSize) {
    set_error("Speaker encoder output holds %lld values, expected at least %d",
              static_cast<long long>(count), qv::kEmbeddingSize);
    return -1;
  }
  const float *data = static_cast<const float *>(tensor_data(output.get()));
  if (!data) {
    set_error("Speaker encoder returned no data for its \"speaker\" output");
    return -1;
  }
  std::memcpy(embedding, data, qv::kEmbeddingSize * sizeof(float));
  return 0;
}

namespace {

// The spectrogram of a model-rate signal, or null with the last error set (an engine not
// started, or a signal too short for the models, is refused first).
qv::malloc_ptr<float> spectrogram_of(const float *samples, int32_t sample_count, int32_t &frames) {
  frames = 0;
  if (!g_initialized || !samples || sample_count < qv::kMinModelSamples) {
    set_error("Invalid inference parameters");
    return nullptr;
  }
  float *raw_spec = nullptr;
  if (qv_compute_spectrogram(samples, sample_count, &raw_spec, &frames) != 0 || frames < 1) {
    std::free(raw_spec);
    set_error("Failed to compute spectrogram");
    return nullptr;
  }
  return qv::malloc_ptr<float>(raw_spec);
}

// Runs the converter on a spectrogram with the two embeddings; frees the spectrogram (through
// `spec`) before copying the output, which keeps the peak memory of a long signal down.
int run_converter(qv::malloc_ptr<float> &spec, int32_t frames, const float *source_embedding,
                  const float *target_embedding, float **out_samples, int32_t *out_count) {
  const OrtApi *ort = get_ort_api();
  qv::ort_value spec_value;
  if (OrtStatus *status = spec_tensor(spec.get(), frames, spec_value)) {
    ort_fail("CreateTensor val_spec", status);
    return -1;
  }
  qv::malloc_ptr<float> noise(static_cast<float *>(
      std::calloc(static_cast<size_t>(kNoiseChannels) * static_cast<size_t>(frames), 4)));
  if (!noise) {
    set_error("Memory allocation failed for noise input (%d frames)", frames);
    return -1;
  }

  // Tensors whose creation fails stay empty; the converter run then fails and reports it.
  int64_t frame_count = frames;
  float tau = kTau;
  const int64_t length_shape[1] = {1};
  const int64_t embedding_shape[3] = {1, qv::kEmbeddingSize, 1};
  const int64_t noise_shape[3] = {1, kNoiseChannels, frames};
  qv::ort_value lengths, g_src, g_tgt, noise_value, tau_value;
  OrtValue *raw = nullptr;
  ort_ignore(ort->CreateTensorWithDataAsOrtValue(g_mem, &frame_count, sizeof frame_count,
                                                 length_shape, 1,
                                                 ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64, &raw));
  lengths.reset(raw);
  ort_ignore(float_tensor(const_cast<float *>(source_embedding), qv::kEmbeddingSize,
                          embedding_shape, 3, g_src));
  ort_ignore(float_tensor(const_cast<float *>(target_embedding), qv::kEmbeddingSize,
                          embedding_shape, 3, g_tgt));
  ort_ignore(float_tensor(noise.get(), static_cast<size_t>(kNoiseChannels) * frames, noise_shape, 3,
                          noise_value));
  ort_ignore(float_tensor(&tau, 1, nullptr, 0, tau_value));

  const char *input_names[6] = {"spec", "spec_lengths", "g_src", "g_tgt", "noise", "tau"};
  const OrtValue *inputs[6] = {spec_value.get(), lengths.get(),     g_src.get(),
                               g_tgt.get(),      noise_value.get(), tau_value.get()};
  const char *output_names[1] = {"audio"};
  OrtValue *raw_audio = nullptr;
  OrtStatus *status =
      ort->Run(g_sess_converter, nullptr, input_names, inputs, 6, output_names, 1, &raw_audio);
  qv::ort_value audio(raw_audio);
  for (qv::ort_value *value : {&spec_value, &lengths, &g_src, &g_tgt, &noise_value, &tau_value})
    value->reset();
  noise.reset();
  spec.reset();
  if (status) {
    ort_fail("Run Converter", status);
    return -1;
  }
  return take_audio(audio.get(), out_samples, out_count);
}

}  // namespace

int run_openvoice_inference(const float *samples, int32_t sample_count,
                            const float *target_embedding, float **out_samples,
                            int32_t *out_count) {
  int32_t frames = 0;
  qv::malloc_ptr<float> spec = spectrogram_of(samples, sample_count, frames);
  if (!spec) return -1;
  // One spectrogram serves both models.
  float source_embedding[qv::kEmbeddingSize];
  if (run_speaker_encoder(spec.get(), frames, "CreateTensor val_spec_spk", "Run SpeakerEncoder",
                          source_embedding) != 0)
    return -1;
  return run_converter(spec, frames, source_embedding, target_embedding, out_samples, out_count);
}

int measure_source_embedding(const float *samples, int32_t sample_count, float *embedding) {
  int32_t frames = 0;
  qv::malloc_ptr<float> spec = spectrogram_of(samples, sample_count, frames);
  if (!spec) return -1;
  return run_speaker_encoder(spec.get(), frames, "CreateTensor val_spec_spk", "Run SpeakerEncoder",
                             embedding);
}

int convert_with_source(const float *samples, int32_t sample_count, const float *source_embedding,
                        const float *target_embedding, float **out_samples, int32_t *out_count) {
  int32_t frames = 0;
  qv::malloc_ptr<float> spec = spectrogram_of(samples, sample_count, frames);
  if (!spec) return -1;
  return run_converter(spec, frames, source_embedding, target_embedding, out_samples, out_count);
}
