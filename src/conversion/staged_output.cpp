#include "conversion/staged_output.h"

#include "platform/files.h"

namespace qv {

std::string staging_path(const char *out_path) {
  if (!is_replaceable(out_path)) return out_path;
  return std::string(out_path) + ".part";
}

bool publish_output(const std::string &staging, const char *out_path) {
  return staging == out_path || replace_file(staging.c_str(), out_path);
}

std::string as_output_message(std::string message, const std::string &staging,
                              const char *out_path) {
  const size_t at = message.rfind(staging);
  if (at != std::string::npos && staging != out_path) message.replace(at, staging.size(), out_path);
  return message;
}

}  // namespace qv
