#include "serve_command.h"

#include <cstdio>
#include <string>

#include "../cli.h"
#include "ondrelix.h"
#include "server.h"

namespace cli {

namespace {

const char *kServeUsage =
    "usage: ondrelix serve [--port N] [--host ADDR] [--models DIR]\n"
    "  Serves a page to hear every voice: live on the microphone, on a file, or cloned from a\n"
    "  clip. Open the address it prints in a browser; Ctrl-C stops it.\n"
    "  --port N      the port (default: 8321; 0 picks a free one)\n"
    "  --host ADDR   the address to listen on (default: 127.0.0.1, this machine only)\n"
    "  --models DIR  models directory (default: $ONDRELIX_MODELS, else the bundled models)\n";

constexpr long kDefaultPort = 8321;

}  // namespace

int cmd_serve(int argc, char **argv) {
  const args a = parse(argc, argv, 2, {"port", "host", "models"}, {});
  if (a.has("help")) return std::printf("%s", kServeUsage), 0;
  if (!a.error.empty()) return usage_error(a.error, kServeUsage);
  if (!a.positional.empty()) return usage_error("serve takes no file arguments", kServeUsage);
  long port = kDefaultPort;
  if (!a.get("port").empty() && !parse_int(a.get("port"), 0, 65535, port))
    return usage_error("--port takes a whole number from 0 to 65535", kServeUsage);
  // Connection threads may still hold it when the program ends.
  static serve::server_state state;
  if (!start_engine(a, false, state.voices, &state.init_report)) return kFailure;
  const int status =
      serve::run_server(state, a.get("host", "127.0.0.1"), static_cast<unsigned short>(port));
  std::lock_guard<std::mutex> lock(state.engine);
  ondrelix_cleanup();
  return status;
}

}  // namespace cli
