// The process-wide engine and stream behind the ten exported functions. Internal: tests and the
// library's own tools reach them here; every other host goes through include/ondrelix.h.
#pragma once

#include "engine/engine.h"
#include "stream/stream.h"

namespace qv {
// Both exist from load to exit and are never destroyed, so a call made before start-up or after
// teardown (or a thread still running at exit) finds them valid.
engine &default_engine();
stream &default_stream();
}  // namespace qv
