// The last-error text, the JSON report buffer, the engine's status type and the millisecond
// clock.
#include "engine/report.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "common.h"

namespace {

// The interface's two texts: g_last_error and g_json_buf.
char g_last_error[qv::kErrorSize];
char g_json_buf[qv::kReportSize];

// Serialises writers of g_last_error (the host's calls and the stream workers). Readers hold a
// pointer into the buffer and cannot be locked out; to keep what they see whole, a message is
// formatted off to the side and copied in one go, and a repeat of the current text writes nothing.
qv::never_destroyed<std::mutex> g_error_mutex;

void store_error(const char *message) {
  std::lock_guard<std::mutex> lock(g_error_mutex.get());
  if (std::strcmp(message, g_last_error) != 0)
    std::memcpy(g_last_error, message, std::strlen(message) + 1);
}

}  // namespace

void set_error(const char *fmt, ...) {
  char message[qv::kErrorSize];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(message, sizeof message, fmt, args);
  va_end(args);
  store_error(message);
}

int report_failure(const qv::status &failure) {
  store_error(failure.message());
  return -1;
}

const char *last_error_text() { return g_last_error; }
const char *report_text() { return g_json_buf; }
char *report_buffer() { return g_json_buf; }

namespace qv {

status status::failure(const char *fmt, ...) {
  status s;
  s.failed_ = true;
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(s.message_, sizeof s.message_, fmt, args);
  va_end(args);
  return s;
}

}  // namespace qv

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

namespace qv {

report_builder::report_builder() : doc_(yyjson_mut_doc_new(nullptr)), root_(nullptr) {
  if (!doc_) return;
  root_ = yyjson_mut_obj(doc_);
  if (root_) yyjson_mut_doc_set_root(doc_, root_);
}

report_builder::~report_builder() { yyjson_mut_doc_free(doc_); }

// yyjson's add functions do nothing on a null object, so a report without a root adds nothing.
report_builder &report_builder::text(const char *key, const char *value) {
  yyjson_mut_obj_add_str(doc_, root_, key, value);
  return *this;
}

report_builder &report_builder::real(const char *key, double value) {
  yyjson_mut_obj_add_real(doc_, root_, key, value);
  return *this;
}

report_builder &report_builder::integer(const char *key, int64_t value) {
  yyjson_mut_obj_add_sint(doc_, root_, key, value);
  return *this;
}

report_builder &report_builder::boolean(const char *key, bool value) {
  yyjson_mut_obj_add_bool(doc_, root_, key, value);
  return *this;
}

report_builder &report_builder::strings(const char *key, const char *const *values, int count) {
  if (!root_) return *this;
  yyjson_mut_val *array = yyjson_mut_arr(doc_);
  if (!array) return *this;
  for (int i = 0; i < count; ++i) yyjson_mut_arr_add_str(doc_, array, values[i]);
  yyjson_mut_obj_add_val(doc_, root_, key, array);
  return *this;
}

void report_builder::publish(const char **report) {
  yyjson_mut_doc *doc = doc_;
  doc_ = nullptr;
  root_ = nullptr;
  publish_report(doc, report);
}

}  // namespace qv
