// Shared state and helpers of the engine: reporting, runtime access, the voice catalogue, the
// conversion pipeline and the real-time stream. Internal to the library.
#pragma once

#include <onnxruntime_c_api.h>
#include <yyjson.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

namespace qv {
constexpr int kEmbeddingSize = 256;
constexpr int kModelRate = 22050;
constexpr int kStreamRate = 16000;
constexpr int kMinModelSamples = 1024;
constexpr int kMaxVoices = 16;
constexpr int kVoiceNameSize = 64;
constexpr size_t kPathSize = 1024;
constexpr size_t kErrorSize = 2048;
constexpr size_t kReportSize = 4096;
constexpr int kRingCapacity = 160000;
constexpr int kNoiseChannels = 192;
constexpr int kOrtApiVersion = 27;

// Storage for an object that is built at load and never destroyed, so that a worker thread or a
// host thread still running at process exit never meets a destroyed lock.
template <typename T>
class never_destroyed {
 public:
  never_destroyed() { new (storage_) T(); }
  T &get() { return *reinterpret_cast<T *>(storage_); }
  T *operator->() { return &get(); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

struct free_deleter {
  void operator()(void *p) const { std::free(p); }
};
template <typename T>
using malloc_ptr = std::unique_ptr<T, free_deleter>;

// Case-insensitive comparison of ASCII letters; other bytes must match exactly. No locale.
bool ascii_iequals(const char *a, const char *b);
}  // namespace qv

// ---- Reporting and clock -----------------------------------------------------------------------

extern char g_last_error[qv::kErrorSize];
extern char g_json_buf[qv::kReportSize];

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void set_error(const char *fmt, ...);
// Writes `doc` into g_json_buf (unchanged when there is no text), frees `doc`, and stores the
// buffer's address through `report` when it is non-null.
void publish_report(yyjson_mut_doc *doc, const char **report);
double now_ms();

// ---- Runtime objects ---------------------------------------------------------------------------

extern int g_initialized;
extern const OrtApi *g_ort;
extern OrtEnv *g_env;
extern OrtMemoryInfo *g_mem;
extern OrtSession *g_sess_converter;
extern OrtSession *g_sess_speaker;
extern char g_models_dir[qv::kPathSize];

const OrtApi *get_ort_api();
// A null status is success and does nothing; otherwise records "label: message" and releases it.
void ort_fail(const char *label, OrtStatus *status);
// Releases a status whose failure does not matter.
void ort_ignore(OrtStatus *status);
OrtSession *create_session(const char *path, OrtSessionOptions *options);

namespace qv {
struct value_deleter {
  void operator()(OrtValue *v) const {
    if (v) get_ort_api()->ReleaseValue(v);
  }
};
using ort_value = std::unique_ptr<OrtValue, value_deleter>;
}  // namespace qv

// ---- Voice catalogue ---------------------------------------------------------------------------

struct voice_entry {
  char name[qv::kVoiceNameSize];
  float embedding[qv::kEmbeddingSize];
};

extern voice_entry g_voices[qv::kMaxVoices];
extern int g_voice_count;
extern float g_custom_emb[qv::kEmbeddingSize];
extern int g_custom_loaded;

void load_catalogue(const char *models_dir);
const float *get_voice_embedding(const char *name);

// ---- Conversion pipeline -----------------------------------------------------------------------

int run_openvoice_inference(const float *samples, int32_t sample_count,
                            const float *target_embedding, float **out_samples, int32_t *out_count);

// Runs the speaker encoder on a [1, 513, frames] spectrogram and copies the first 256 values of
// "speaker" into `embedding`. Returns 0, or -1 with the last error set (run failures under
// `run_label`).
int run_speaker_encoder(float *spec, int32_t frames, const char *tensor_label,
                        const char *run_label, float *embedding);

// ---- Real-time stream --------------------------------------------------------------------------

extern int16_t *g_rt_in_buf;
extern int16_t *g_rt_out_buf;
extern int32_t g_rt_in_head, g_rt_in_tail, g_rt_in_count;
extern int32_t g_rt_out_head, g_rt_out_tail, g_rt_out_count;
extern int32_t g_rt_chunk_samples;
extern int32_t g_rt_mode_dsp;
extern char g_rt_voice_name[qv::kVoiceNameSize];
extern float g_rt_target_emb[qv::kEmbeddingSize];
extern int64_t g_rt_total_in_frames;
extern int64_t g_rt_dropped_frames;
extern int64_t g_rt_total_out_frames;
extern int32_t g_rt_latency_samples;
extern double g_rt_total_latency_ms;
extern double g_rt_start_time;
extern std::atomic<int> g_rt_running;
extern qv::never_destroyed<std::thread> g_rt_thread;
extern qv::never_destroyed<std::mutex> g_rt_mutex;
extern qv::never_destroyed<std::condition_variable> g_rt_cond_in;
extern qv::never_destroyed<std::condition_variable> g_rt_cond_out;

// Stops a running stream: clears the running flag, wakes and joins the worker, and publishes the
// stop report (its address goes to `report` when non-null).
void rt_stop_stream(const char **report);
void rt_worker_thread(void *unused);
// Converts one block of n samples with the stream's configuration (mode, voice, embedding) into
// `out` (room for 2n samples) and returns the number of samples written. The worker's step; the
// benchmarks time it alone.
int32_t rt_convert_block(const int16_t *in, int16_t *out, int32_t n);
