// Which requests may use the server: only the page's own origin. A browser sends every request
// of a page with that page's Origin, so another site open in the same browser is refused; and
// the Host header must name this server by an address or "localhost", so that a name of
// another site rebound to 127.0.0.1 (DNS rebinding) cannot pass for it either.
#pragma once

#include <string>

namespace cli::serve {

// True when `host` (the Host header) is "localhost" or an IP address, with the server's port.
bool host_is_ours(const std::string &host, unsigned short port);

// True when the request may go on: its Host is ours, and its Origin, when there is one (tools
// such as curl send none), is "http://" followed by that Host.
bool same_origin(const std::string &host, const std::string &origin, unsigned short port);

}  // namespace cli::serve
