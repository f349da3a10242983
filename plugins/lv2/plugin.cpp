// The LV2 plugin: a mono voice changer on the ondrelix engine. The audio thread's run() never
// blocks (but when the host freewheels), never allocates and takes no lock: it hands samples to
// the bridge's helpers through lock-free rings (bridge.h). Every instance converts with its own
// stream on the one engine the instances of a process share.
#include <dlfcn.h>
#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/patch/patch.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bridge.h"

namespace {

constexpr const char *kUri = "https://quorvane.example/plugins/ondrelix";
constexpr const char *kReferenceUri = "https://quorvane.example/plugins/ondrelix#reference";
constexpr const char *kModelsUri = "https://quorvane.example/plugins/ondrelix#models";
constexpr double kMaxLatencySeconds = 1.5;

enum port : uint32_t {
  kIn,
  kOut,
  kVoice,
  kMode,
  kHop,
  kGate,
  kBypass,
  kUnderrun,
  kFreewheel,
  kLatency,
  kUnderruns,
  kControl,
  kPortCount
};

// Instances are numbered in the order they are made, so that the host's log says which one
// speaks.
std::atomic<int> g_instances{0};

bool exists(const std::string &path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// $ONDRELIX_MODELS, else the models installed with the plugin (prefix/lib/lv2/ondrelix.lv2 ->
// prefix/share/quorvane-ondrelix/models), else the build's.
std::string default_models(const std::string &bundle) {
  if (const char *env = std::getenv("ONDRELIX_MODELS"); env && *env) return env;
  const std::string installed = bundle + "/../../../share/quorvane-ondrelix/models";
  if (exists(installed + "/openvoice_converter.onnx")) return installed;
  return ONDRELIX_BUILD_MODELS;
}

LV2_State_Map_Path *find_map_path(const LV2_Feature *const *features) {
  for (int i = 0; features && features[i]; ++i)
    if (!std::strcmp(features[i]->URI, LV2_STATE__mapPath))
      return static_cast<LV2_State_Map_Path *>(features[i]->data);
  return nullptr;
}

struct urids {
  LV2_URID atom_path, atom_object, patch_set, patch_property, patch_value, reference, models,
      log_error, log_warning;
};

class voice_plugin {
 public:
  voice_plugin(double rate, const char *bundle, const LV2_Feature *const *features);
  ~voice_plugin();
  void connect(uint32_t port, void *data) { ports_[port] = data; }
  void activate();
  void deactivate();
  void run(uint32_t n);
  LV2_State_Status save(LV2_State_Store_Function store, LV2_State_Handle handle,
                        const LV2_Feature *const *features);
  LV2_State_Status restore(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle,
                           const LV2_Feature *const *features);

 private:
  float control(port p, float fallback) const {
    return ports_[p] ? *static_cast<const float *>(ports_[p]) : fallback;
  }
  // A control port as a whole number in its range. Hosts should keep ports within the ranges
  // the .ttl declares, but a value outside them, or NaN, must never index the voice table.
  int control_in(port p, int lo, int hi, int fallback) const {
    const float v = control(p, static_cast<float>(fallback));
    if (std::isnan(v)) return fallback;
    return static_cast<int>(
        std::lround(std::clamp(v, static_cast<float>(lo), static_cast<float>(hi))));
  }
  uint32_t take_settings();
  void await_settings(uint32_t wanted);
  void log(bool error, const std::string &message);
  void read_patch();
  void pass_through(const float *in, float *out, uint32_t n, int64_t delay);
  void write_dry(const float *in, uint32_t n);
  float dry_at(int64_t back, uint32_t i) const;
  void publish(int64_t latency);
  void switch_stream(float *out, uint32_t n);
  uint32_t take_output(float *out, uint32_t n);

  double rate_;
  std::string bundle_;
  LV2_URID_Map *map_ = nullptr;
  LV2_Log_Log *log_ = nullptr;
  urids u_{};
  void *ports_[kPortCount] = {};
  int number_ = 0;
  bool engine_ok_ = false;
  std::unique_ptr<engine_bridge> bridge_;
  std::string models_, reference_;
  // The dry signal, for bypass and underruns: a delay line the audio thread alone uses.
  std::vector<float> dry_;
  size_t dry_pos_ = 0;
  int seen_generation_ = 0;
  int64_t owed_ = 0;    // converted samples to drop: their place went to silence or the dry signal
  int64_t pushed_ = 0;  // input samples handed to the bridge since activation
  int64_t silence_due_ = 0;  // samples of silence still before the stream's output
  int64_t latency_ = 0;      // the delay of the stream run() has switched to
  uint32_t underruns_ = 0;
};

voice_plugin::voice_plugin(double rate, const char *bundle, const LV2_Feature *const *features)
    : rate_(rate), bundle_(bundle ? bundle : ".") {
  for (int i = 0; features && features[i]; ++i) {
    if (!std::strcmp(features[i]->URI, LV2_URID__map))
      map_ = static_cast<LV2_URID_Map *>(features[i]->data);
    if (!std::strcmp(features[i]->URI, LV2_LOG__log))
      log_ = static_cast<LV2_Log_Log *>(features[i]->data);
  }
  // Without urid:map (a simple host such as lv2apply) there are no patch messages, no state and
  // no host log: messages go to standard error.
  if (map_) {
    auto m = [&](const char *uri) { return map_->map(map_->handle, uri); };
    u_ = {m(LV2_ATOM__Path),      m(LV2_ATOM__Object), m(LV2_PATCH__Set),
          m(LV2_PATCH__property), m(LV2_PATCH__value), m(kReferenceUri),
          m(kModelsUri),          m(LV2_LOG__Error),   m(LV2_LOG__Warning)};
  } else {
    log_ = nullptr;
  }
  dry_.assign(static_cast<size_t>(rate * kMaxLatencySeconds) + 65536, 0.0f);
  number_ = ++g_instances;
  models_ = default_models(bundle_);
  bridge_ = std::make_unique<engine_bridge>(
      rate, [this](bool error, const std::string &message) { log(error, message); });
}

voice_plugin::~voice_plugin() { bridge_.reset(); }

// Messages start "ondrelix:"; the instance's number goes in: "ondrelix[2]: ...".
void voice_plugin::log(bool error, const std::string &message) {
  const std::string prefix = "ondrelix:";
  const std::string text = message.rfind(prefix, 0) == 0 ? "ondrelix[" + std::to_string(number_) +
                                                               "]:" + message.substr(prefix.size())
                                                         : message;
  if (log_)
    log_->printf(log_->handle, error ? u_.log_error : u_.log_warning, "%s\n", text.c_str());
  else
    std::fprintf(stderr, "%s\n", text.c_str());
}

// The settings the control ports ask for, for the bridge to apply; returns them packed.
uint32_t voice_plugin::take_settings() {
  bridge_settings s;
  s.voice = control_in(kVoice, 0, 4, 0);
  s.mode = control_in(kMode, 0, 1, 0);
  s.hop_ms = control_in(kHop, 20, 1000, 46);
  s.gate_db = control_in(kGate, -120, 0, -120);
  const uint32_t word = s.packed();
  bridge_->wanted.store(word);
  return word;
}

// Not real time: a change of settings takes effect at the block that asks for it, not whenever
// the helper gets to it, so that a render comes out the same each time (at most a few seconds,
// in case the helper stalled).
void voice_plugin::await_settings(uint32_t wanted) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (bridge_->applied.load() != wanted && std::chrono::steady_clock::now() < give_up)
    std::this_thread::sleep_for(std::chrono::microseconds(500));
}

void voice_plugin::activate() {
  std::fill(dry_.begin(), dry_.end(), 0.0f);
  owed_ = 0;
  underruns_ = 0;
  pushed_ = 0;
  // No helper runs and run() is not called while the host activates: the rings are ours.
  bridge_->input.pop(nullptr, bridge_->input.available());
  bridge_->output.pop(nullptr, bridge_->output.available());
  take_settings();
  engine_ok_ = bridge_->start(models_, reference_);
  if (!engine_ok_) return;
  // The first stream begins with the first sample run() hands over.
  latency_ = silence_due_ = bridge_->latency.load();
  seen_generation_ = bridge_->generation.load();
  bridge_->start_at.store(0);
  bridge_->flushed.store(seen_generation_);
}

void voice_plugin::deactivate() {
  if (bridge_) bridge_->stop();
  engine_ok_ = false;
}

void voice_plugin::write_dry(const float *in, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) dry_[(dry_pos_ + i) % dry_.size()] = in[i];
}

// The dry sample `back` samples before sample i of the block just written.
float voice_plugin::dry_at(int64_t back, uint32_t i) const {
  const int64_t size = static_cast<int64_t>(dry_.size());
  const int64_t at = (static_cast<int64_t>(dry_pos_) + i - back) % size;
  return dry_[static_cast<size_t>(at < 0 ? at + size : at)];
}

void voice_plugin::pass_through(const float *in, float *out, uint32_t n, int64_t delay) {
  for (uint32_t i = 0; i < n; ++i) out[i] = delay == 0 ? in[i] : dry_at(delay, i);
}

void voice_plugin::publish(int64_t latency) {
  if (ports_[kLatency]) *static_cast<float *>(ports_[kLatency]) = static_cast<float>(latency);
  if (ports_[kUnderruns])
    *static_cast<float *>(ports_[kUnderruns]) = static_cast<float>(underruns_);
}

// patch:Set of the reference clip or the models directory, from the control port.
void voice_plugin::read_patch() {
  const auto *seq = static_cast<const LV2_Atom_Sequence *>(ports_[kControl]);
  if (!seq || !bridge_ || !map_) return;
  LV2_ATOM_SEQUENCE_FOREACH(seq, ev) {
    if (ev->body.type != u_.atom_object) continue;
    const auto *obj = reinterpret_cast<const LV2_Atom_Object *>(&ev->body);
    if (obj->body.otype != u_.patch_set) continue;
    const LV2_Atom *property = nullptr, *value = nullptr;
    lv2_atom_object_get(obj, u_.patch_property, &property, u_.patch_value, &value, 0);
    if (!property || !value || value->type != u_.atom_path) continue;
    const LV2_URID key = reinterpret_cast<const LV2_Atom_URID *>(property)->body;
    const char *path = static_cast<const char *>(LV2_ATOM_BODY_CONST(value));
    const size_t length = strnlen(path, value->size);
    if (key == u_.reference) bridge_->new_reference.put(path, length);
    if (key == u_.models) bridge_->new_models.put(path, length);
  }
}

// The stream was restarted: this block takes what the last stream has for it (silence for the
// rest: the switch is not an underrun), that stream's remaining output is dropped, and the new
// stream begins with the next block's input, its output `latency` samples of silence after it.
void voice_plugin::switch_stream(float *out, uint32_t n) {
  const size_t got = owed_ > 0 ? 0 : bridge_->output.pop(out, n);
  std::fill(out + got, out + n, 0.0f);
  bridge_->output.pop(nullptr, bridge_->output.available());
  owed_ = 0;
  // The generation before the latency: a restart stores its latency before it bumps the
  // generation, so the latency read here is that generation's or a newer one's, and a newer one
  // makes the next block switch again. The other order could pair a newer stream with an older
  // latency and keep it.
  seen_generation_ = bridge_->generation.load();
  latency_ = silence_due_ = bridge_->latency.load();
  bridge_->start_at.store(pushed_);
  bridge_->flushed.store(seen_generation_);
}

// The stream's output for this block after the silence still due; returns how many samples of
// the block are filled.
uint32_t voice_plugin::take_output(float *out, uint32_t n) {
  const auto quiet = static_cast<uint32_t>(std::min<int64_t>(silence_due_, n));
  std::fill(out, out + quiet, 0.0f);
  silence_due_ -= quiet;
  if (owed_ > 0)
    owed_ -= static_cast<int64_t>(bridge_->output.pop(nullptr, static_cast<size_t>(owed_)));
  const uint32_t wanted = n - quiet;
  if (control(kFreewheel, 0) > 0.5f) {
    // Not real time: wait for the conversion (at most a few seconds, in case it stalled), or
    // for the restart that a change of settings is making.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (bridge_->output.available() < wanted + static_cast<size_t>(owed_) &&
           bridge_->generation.load() == seen_generation_ &&
           std::chrono::steady_clock::now() < give_up)
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    if (bridge_->generation.load() != seen_generation_) return 0;  // the caller switches
    if (owed_ > 0)
      owed_ -= static_cast<int64_t>(bridge_->output.pop(nullptr, static_cast<size_t>(owed_)));
  }
  const size_t got = owed_ > 0 ? 0 : bridge_->output.pop(out + quiet, wanted);
  return quiet + static_cast<uint32_t>(got);
}

void voice_plugin::run(uint32_t n) {
  const auto *in = static_cast<const float *>(ports_[kIn]);
  auto *out = static_cast<float *>(ports_[kOut]);
  if (!in || !out) return;
  write_dry(in, n);
  if (!engine_ok_) {
    const int64_t latency = bridge_->latency.load();
    pass_through(in, out, n, latency);  // the same delay the plugin reports
    publish(latency);
    dry_pos_ = (dry_pos_ + n) % dry_.size();
    return;
  }
  const uint32_t wanted = take_settings();
  if (control(kFreewheel, 0) > 0.5f) await_settings(wanted);
  read_patch();
  bridge_->input.push(in, n);
  pushed_ += n;
  const bool restarted = bridge_->generation.load() != seen_generation_;
  if (restarted) switch_stream(out, n);
  const size_t got = restarted ? n : take_output(out, n);
  if (got < n && bridge_->generation.load() != seen_generation_) {
    // A restart cut the wait short: the rest of this block is silent, the next one switches.
    std::fill(out + got, out + n, 0.0f);
  } else if (got < n) {
    // Underrun: silence or the dry signal in the converted samples' place; they are dropped
    // when they come, so the delay stays what the latency port says.
    const bool dry = control(kUnderrun, 0) > 0.5f;
    for (size_t i = got; i < n; ++i)
      out[i] = dry ? dry_at(latency_, static_cast<uint32_t>(i)) : 0.0f;
    owed_ += static_cast<int64_t>(n - got);
    ++underruns_;
  }
  if (control(kBypass, 0) > 0.5f) pass_through(in, out, n, latency_);
  publish(latency_);
  dry_pos_ = (dry_pos_ + n) % dry_.size();
}

LV2_State_Status voice_plugin::save(LV2_State_Store_Function store, LV2_State_Handle handle,
                                    const LV2_Feature *const *features) {
  if (!map_) return LV2_STATE_ERR_NO_FEATURE;
  LV2_State_Map_Path *map_path = find_map_path(features);
  const std::string reference = bridge_ ? bridge_->reference() : reference_;
  const std::pair<LV2_URID, std::string> items[] = {{u_.reference, reference},
                                                    {u_.models, models_}};
  for (const auto &[key, value] : items) {
    if (value.empty()) continue;
    char *abstract = map_path ? map_path->abstract_path(map_path->handle, value.c_str()) : nullptr;
    const char *text = abstract ? abstract : value.c_str();
    store(handle, key, text, std::strlen(text) + 1, u_.atom_path,
          LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE);
    std::free(abstract);
  }
  return LV2_STATE_SUCCESS;
}

LV2_State_Status voice_plugin::restore(LV2_State_Retrieve_Function retrieve,
                                       LV2_State_Handle handle,
                                       const LV2_Feature *const *features) {
  if (!map_) return LV2_STATE_ERR_NO_FEATURE;
  LV2_State_Map_Path *map_path = find_map_path(features);
  auto get = [&](LV2_URID key, std::string &into) {
    size_t size = 0;
    uint32_t type = 0, flags = 0;
    const void *value = retrieve(handle, key, &size, &type, &flags);
    if (!value || type != u_.atom_path) return;
    char *absolute =
        map_path ? map_path->absolute_path(map_path->handle, static_cast<const char *>(value))
                 : nullptr;
    into = absolute ? absolute : static_cast<const char *>(value);
    std::free(absolute);
  };
  get(u_.reference, reference_);
  get(u_.models, models_);
  return LV2_STATE_SUCCESS;
}

// ---- The LV2 entry points ----

LV2_Handle instantiate(const LV2_Descriptor *, double rate, const char *bundle,
                       const LV2_Feature *const *features) {
  return new voice_plugin(rate, bundle, features);
}

void connect_port(LV2_Handle h, uint32_t port, void *data) {
  static_cast<voice_plugin *>(h)->connect(port, data);
}
void activate(LV2_Handle h) { static_cast<voice_plugin *>(h)->activate(); }
void run(LV2_Handle h, uint32_t n) { static_cast<voice_plugin *>(h)->run(n); }
void deactivate(LV2_Handle h) { static_cast<voice_plugin *>(h)->deactivate(); }
void cleanup(LV2_Handle h) { delete static_cast<voice_plugin *>(h); }

LV2_State_Status save(LV2_Handle h, LV2_State_Store_Function store, LV2_State_Handle handle,
                      uint32_t, const LV2_Feature *const *features) {
  return static_cast<voice_plugin *>(h)->save(store, handle, features);
}
LV2_State_Status restore(LV2_Handle h, LV2_State_Retrieve_Function retrieve,
                         LV2_State_Handle handle, uint32_t, const LV2_Feature *const *features) {
  return static_cast<voice_plugin *>(h)->restore(retrieve, handle, features);
}

const void *extension_data(const char *uri) {
  static const LV2_State_Interface state = {save, restore};
  return std::strcmp(uri, LV2_STATE__interface) == 0 ? &state : nullptr;
}

const LV2_Descriptor kDescriptor = {kUri, instantiate, connect_port, activate,
                                    run,  deactivate,  cleanup,      extension_data};

}  // namespace

extern "C" LV2_SYMBOL_EXPORT const LV2_Descriptor *lv2_descriptor(uint32_t index) {
  return index == 0 ? &kDescriptor : nullptr;
}
