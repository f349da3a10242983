// The server's HTTP interface, apart from the page and the live stream: each call takes a
// request's details and gives the response's status, type and body.
#pragma once

#include <string>

#include "server_state.h"

namespace cli::serve {

struct reply {
  unsigned status;
  std::string content_type;
  std::string body;
};

// {"error": MESSAGE} with the status.
reply error_reply(unsigned status, const std::string &message);

// GET /api/voices: the init report.
reply voices(const server_state &state);
// POST /api/convert?voice=NAME: the converted WAV file of the audio file in `body`.
reply convert(server_state &state, const std::string &voice, const std::string &body);
// POST /api/clone: the clone report of the reference clip in `body`.
reply clone(server_state &state, const std::string &body);

// The value of `key` in a request target's query ("/api/x?a=1&b=2"), percent-decoded.
std::string query_value(const std::string &target, const std::string &key);

}  // namespace cli::serve
