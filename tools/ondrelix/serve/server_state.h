// What the server's connections share: the engine (one per process, used by one request at a
// time, except the live stream's own reads and writes), its voices, and the live stream's slot.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace cli::serve {

struct server_state {
  unsigned short port = 0;
  std::string init_report;
  std::vector<std::string> voices;  // from the init report
  std::mutex engine;                // held for every engine call but the stream's write and read
  bool cloned = false;              // "custom" is a voice once a clip was cloned (under `engine`)
  std::atomic<bool> live{false};    // one live stream at a time: the engine runs one
};

// True when `voice` names one of the engine's voices (or "custom" after a clone).
bool is_voice(server_state &state, const std::string &voice);

}  // namespace cli::serve
