// The last-error text, the JSON report buffer, the millisecond clock, and the guard that keeps
// C++ exceptions from unwinding into a C host. Internal.
#pragma once

#include <yyjson.h>

#include <cstddef>
#include <cstdint>

#include "engine/status.h"

namespace qv {
constexpr size_t kReportSize = 4096;
}  // namespace qv

// Formats the message into the last error (cut to 2047 bytes); safe from the stream worker too.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void set_error(const char *fmt, ...);

// The interface's side of a failed status: its message becomes the last error, and the result is
// -1, as every exported function that can fail returns.
int report_failure(const qv::status &failure);
// 0 for success; report_failure for a failure.
inline int report_status(const qv::status &outcome) {
  return outcome.ok() ? 0 : report_failure(outcome);
}

// The last error and the report buffer: the texts the interface hands out, owned by the library
// and overwritten (never cleared) by the next error or report.
const char *last_error_text();
const char *report_text();
// The report buffer itself (kReportSize bytes), for the tests that set it to a known text.
char *report_buffer();

// Writes `doc` into the report buffer (unchanged when there is no text), frees `doc`, and stores
// the buffer's address through `report` when it is non-null.
void publish_report(yyjson_mut_doc *doc, const char **report);

// Milliseconds from an arbitrary origin; only differences of two readings mean anything.
double now_ms();

namespace qv {

// A report under construction: one JSON object whose members keep the order they are added in.
// A document or member that cannot be allocated is left out, as every report requires; texts are
// not copied, so they must outlive publish().
class report_builder {
 public:
  report_builder();
  ~report_builder();
  report_builder(const report_builder &) = delete;
  report_builder &operator=(const report_builder &) = delete;

  report_builder &text(const char *key, const char *value);
  report_builder &real(const char *key, double value);
  report_builder &integer(const char *key, int64_t value);
  report_builder &boolean(const char *key, bool value);
  report_builder &strings(const char *key, const char *const *values, int count);
  // Hands the report to publish_report; the builder is empty afterwards.
  void publish(const char **report);

 private:
  yyjson_mut_doc *doc_;
  yyjson_mut_val *root_;
};

// Runs the body of an exported function. An exception becomes the result `failure` and, when
// `operation` is given, the last error "Internal error during <operation>".
template <typename Body>
int guard_export(const char *operation, int failure, Body &&body) noexcept {
  try {
    return body();
  } catch (...) {
    if (operation) set_error("Internal error during %s", operation);
    return failure;
  }
}

}  // namespace qv
