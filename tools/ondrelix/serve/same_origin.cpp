#include "same_origin.h"

#include <boost/asio/ip/address.hpp>

namespace cli::serve {

namespace {

// An IP address as a Host header writes it: IPv4 as it is, IPv6 in brackets.
bool is_ip_literal(const std::string &name) {
  const bool bracketed = name.size() > 2 && name.front() == '[' && name.back() == ']';
  boost::system::error_code ec;
  const auto address =
      boost::asio::ip::make_address(bracketed ? name.substr(1, name.size() - 2) : name, ec);
  return !ec && address.is_v6() == bracketed;
}

}  // namespace

bool host_is_ours(const std::string &host, unsigned short port) {
  const size_t colon = host.rfind(':');
  if (colon == std::string::npos || host.substr(colon + 1) != std::to_string(port)) return false;
  const std::string name = host.substr(0, colon);
  return name == "localhost" || is_ip_literal(name);
}

bool same_origin(const std::string &host, const std::string &origin, unsigned short port) {
  if (!host_is_ours(host, port)) return false;
  return origin.empty() || origin == "http://" + host;
}

}  // namespace cli::serve
