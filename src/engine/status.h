// The outcome of an internal operation: success, or a failure with its message. A message is
// worded once, where the fault is found; the exported functions hand it to the host as the last
// error. Internal.
#pragma once

#include <cstddef>

namespace qv {

constexpr size_t kErrorSize = 2048;  // a message, cut to 2047 bytes

class [[nodiscard]] status {
 public:
  status() = default;  // success

  // A failure whose message is formatted from a literal format of the failing step.
#if defined(__GNUC__)
  __attribute__((format(printf, 1, 2)))
#endif
  static status
  failure(const char *fmt, ...);

  bool ok() const { return !failed_; }
  // The failure's message; empty on success.
  const char *message() const { return message_; }

 private:
  bool failed_ = false;
  char message_[kErrorSize] = {};
};

// The shared success value, for functions that return a reference to one.
inline status success() { return status(); }

}  // namespace qv
