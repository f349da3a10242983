// The last-error text, the JSON report buffer, the millisecond clock, and the two exports that
// read them.
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "engine.h"
#include "ondrelix.h"

char g_last_error[qv::kErrorSize];
char g_json_buf[qv::kReportSize];

namespace {
// Serialises writers of g_last_error (the host's calls and the stream worker). Readers hold a
// pointer into the buffer and cannot be locked out; to keep what they see whole, a message is
// formatted off to the side and copied in one go, and a repeat of the current text writes nothing.
qv::never_destroyed<std::mutex> g_error_mutex;
}  // namespace

void set_error(const char *fmt, ...) {
  char message[qv::kErrorSize];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(message, sizeof message, fmt, args);
  va_end(args);
  std::lock_guard<std::mutex> lock(g_error_mutex.get());
  if (std::strcmp(message, g_last_error) != 0)
    std::memcpy(g_last_error, message, std::strlen(message) + 1);
}

void publish_report(yyjson_mut_doc *doc, const char **report) {
  // Invalid UTF-8 (a Linux path may hold any bytes) is written through as it stands, so a report
  // always describes the operation that produced it instead of falling back to an older text.
  char *text = yyjson_mut_write(doc, YYJSON_WRITE_ALLOW_INVALID_UNICODE, nullptr);
  if (text) {
    std::snprintf(g_json_buf, sizeof g_json_buf, "%s", text);
    std::free(text);
  }
  yyjson_mut_doc_free(doc);
  if (report) *report = g_json_buf;
}

double now_ms() {
  // The steady clock's tick rate is a compile-time constant (10^9 on the platforms we build for),
  // so there is nothing to query and cache at run time, and no first-use race between threads.
  using period = std::chrono::steady_clock::period;
  constexpr int64_t freq = period::den / period::num;
  const int64_t ticks = std::chrono::steady_clock::now().time_since_epoch().count();
  return static_cast<double>(ticks) * 1000.0 / static_cast<double>(freq);
}

extern "C" ONDRELIX_API const char *ondrelix_version(void) { return "1.1.0"; }

extern "C" ONDRELIX_API const char *ondrelix_last_error(void) { return g_last_error; }
