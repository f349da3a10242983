// The last-error text, the JSON report buffer, the millisecond clock, and the guard that keeps
// C++ exceptions from unwinding into a C host. Internal.
#pragma once

#include <yyjson.h>

#include <cstddef>
#include <cstdint>

namespace qv {
constexpr size_t kErrorSize = 2048;
constexpr size_t kReportSize = 4096;
}  // namespace qv

extern char g_last_error[qv::kErrorSize];
extern char g_json_buf[qv::kReportSize];

// Formats the message into g_last_error (cut to 2047 bytes); safe from the stream worker too.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void set_error(const char *fmt, ...);

// Writes `doc` into g_json_buf (unchanged when there is no text), frees `doc`, and stores the
// buffer's address through `report` when it is non-null.
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
