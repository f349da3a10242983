// The HTTP and WebSocket server of `ondrelix serve` (Boost.Beast): a thread per connection,
// every request checked for the page's own origin, bodies up to 50 MB.
#pragma once

#include <string>

#include "server_state.h"

namespace cli::serve {

// Serves on host:port until SIGINT or SIGTERM; prints the address to open once listening.
// Returns the exit status. `state` must outlive the process's connection threads: keep it for
// the life of the program.
int run_server(server_state &state, const std::string &host, unsigned short port);

}  // namespace cli::serve
