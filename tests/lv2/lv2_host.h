// A small LV2 host for the plugin's tests and benchmark: urid:map, a log that keeps what it is
// told, and an instance with its ports connected to plain buffers.
#pragma once

#include <dlfcn.h>
#include <lv2/atom/atom.h>
#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/urid/urid.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace lv2_host {

// Set by the harness around run(), for counting allocations made inside it.
inline thread_local bool in_run = false;

constexpr const char *kUri = "https://quorvane.example/plugins/ondrelix";
constexpr double kRate = 48000;
constexpr uint32_t kBlock = 256;

struct host;
int log_printf(LV2_Log_Handle h, LV2_URID, const char *fmt, ...);
int log_vprintf(LV2_Log_Handle, LV2_URID, const char *, va_list) { return 0; }

// The host's urid:map and log, as a real host gives them.
struct host {
  std::vector<std::string> uris;
  std::mutex log_mutex;
  std::string log_text;
  LV2_URID_Map map{this, [](LV2_URID_Map_Handle h, const char *uri) -> LV2_URID {
                     auto *self = static_cast<host *>(h);
                     for (size_t i = 0; i < self->uris.size(); ++i)
                       if (self->uris[i] == uri) return static_cast<LV2_URID>(i + 1);
                     self->uris.emplace_back(uri);
                     return static_cast<LV2_URID>(self->uris.size());
                   }};
  LV2_Log_Log log{this, log_printf, log_vprintf};
  LV2_Feature map_feature{LV2_URID__map, &map};
  LV2_Feature log_feature{LV2_LOG__log, &log};
  const LV2_Feature *features[3] = {&map_feature, &log_feature, nullptr};
  std::string logged() {
    std::lock_guard<std::mutex> lock(log_mutex);
    return log_text;
  }
};

int log_printf(LV2_Log_Handle h, LV2_URID, const char *fmt, ...) {
  auto *self = static_cast<host *>(h);
  char text[1024];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  std::lock_guard<std::mutex> lock(self->log_mutex);
  self->log_text += text;
  return 0;
}

const LV2_Descriptor *descriptor() {
  static void *module = dlopen(ONDRELIX_LV2_BUNDLE "/ondrelix.so", RTLD_NOW);
  if (!module) return nullptr;
  auto get = reinterpret_cast<const LV2_Descriptor *(*)(uint32_t)>(dlsym(module, "lv2_descriptor"));
  return get ? get(0) : nullptr;
}

// An instance with its ports connected to plain buffers.
struct instance {
  const LV2_Descriptor *d;
  LV2_Handle h;
  float in[kBlock] = {}, out[kBlock] = {};
  float voice = 4, mode = 1, hop = 46, gate = -120, bypass = 0, underrun = 0, freewheel = 0;
  float latency = -1, underruns = -1;
  alignas(8) uint8_t control[1024] = {};
  instance(host &hst)
      : d(descriptor()),
        h(d ? d->instantiate(d, kRate, ONDRELIX_LV2_BUNDLE, hst.features) : nullptr) {
    if (!h) return;
    float *controls[] = {&voice,    &mode,      &hop,     &gate,     &bypass,
                         &underrun, &freewheel, &latency, &underruns};
    d->connect_port(h, 0, in);
    d->connect_port(h, 1, out);
    for (uint32_t p = 0; p < 9; ++p) d->connect_port(h, p + 2, controls[p]);
    empty_control();
    d->connect_port(h, 11, control);
  }
  ~instance() {
    if (h) d->cleanup(h);
  }
  void empty_control() {
    auto *seq = reinterpret_cast<LV2_Atom_Sequence *>(control);
    seq->atom.size = sizeof(LV2_Atom_Sequence_Body);
    seq->atom.type = 0;
    seq->body.unit = 0;
    seq->body.pad = 0;
  }
  void run() {
    in_run = true;
    d->run(h, kBlock);
    in_run = false;
  }
};

}  // namespace lv2_host
