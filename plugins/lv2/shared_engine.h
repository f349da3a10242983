// The one engine that every instance of the plugin in a process shares: started by the first
// instance that needs it, stopped when the last one lets go. Each instance runs its own stream on
// it (the runtime allows concurrent runs of one session).
#pragma once

#include <string>

#include "engine/engine.h"

class shared_engine {
 public:
  // The engine, started from `models` when no instance holds it yet. Null when it cannot start
  // (`message` says why). When it already runs on other models, `message` says so and it is
  // still returned.
  static qv::engine *acquire(const std::string &models, std::string &message);
  // Lets go of what acquire() gave; the last user stops the engine.
  static void release();
};
