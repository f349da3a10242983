#include "shared_engine.h"

#include <mutex>

namespace {

struct engine_holder {
  std::mutex mutex;
  qv::engine engine;
  std::string models;
  int users = 0;
};

// Built at first use and never destroyed: a host that unloads the plugin has released every
// instance first, and one that exits may still have a helper thread inside an instance.
engine_holder &holder() {
  static qv::never_destroyed<engine_holder> instance;
  return instance.get();
}

}  // namespace

qv::engine *shared_engine::acquire(const std::string &models, std::string &message) {
  engine_holder &h = holder();
  std::lock_guard<std::mutex> lock(h.mutex);
  if (h.users == 0) {
    const qv::status started = h.engine.start(models.c_str());
    if (!started.ok()) {
      message = started.message();
      return nullptr;
    }
    h.models = models;
  } else if (models != h.models) {
    message = "the engine of this process already runs on the models from " + h.models;
  }
  ++h.users;
  return &h.engine;
}

void shared_engine::release() {
  engine_holder &h = holder();
  std::lock_guard<std::mutex> lock(h.mutex);
  if (h.users > 0 && --h.users == 0) h.engine.stop();
}
