#include "same_origin.h"

#include <cctype>

namespace cli::serve {

namespace {

bool is_ipv4(const std::string &name) {
  int parts = 0, digits = 0;
  for (char c : name) {
    if (std::isdigit(static_cast<unsigned char>(c))) {
      if (++digits > 3) return false;
    } else if (c == '.' && digits > 0) {
      ++parts;
      digits = 0;
    } else {
      return false;
    }
  }
  return parts == 3 && digits > 0;
}

bool is_bracketed_ipv6(const std::string &name) {
  if (name.size() < 3 || name.front() != '[' || name.back() != ']') return false;
  for (size_t i = 1; i + 1 < name.size(); ++i)
    if (!std::isxdigit(static_cast<unsigned char>(name[i])) && name[i] != ':' && name[i] != '.')
      return false;
  return true;
}

}  // namespace

bool host_is_ours(const std::string &host, unsigned short port) {
  const size_t colon = host.rfind(':');
  if (colon == std::string::npos || host.substr(colon + 1) != std::to_string(port)) return false;
  const std::string name = host.substr(0, colon);
  return name == "localhost" || is_ipv4(name) || is_bracketed_ipv6(name);
}

bool same_origin(const std::string &host, const std::string &origin, unsigned short port) {
  if (!host_is_ours(host, port)) return false;
  return origin.empty() || origin == "http://" + host;
}

}  // namespace cli::serve
