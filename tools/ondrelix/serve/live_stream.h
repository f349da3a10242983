// The live stream behind WebSocket /api/stream: 16-bit little-endian mono samples at the page's
// rate come in as binary messages and the converted samples go back the same way, resampled to
// and from the stream's 16 kHz (libsoxr) around the library's continuous mode. The text message
// "stop" ends it: the last samples are converted and sent (as many in all as came in), then the
// stop report as a text message, then the socket closes.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/websocket.hpp>
#include <string>

#include "server_state.h"

namespace cli::serve {

using websocket_stream = boost::beast::websocket::stream<boost::asio::ip::tcp::socket>;

// Runs one live stream on an accepted WebSocket until the page stops it or goes away. A second
// stream while one runs, an unknown voice or a rate outside 8000 to 192000 Hz get a text message
// {"error": ...} and the socket is closed.
void run_live_stream(websocket_stream &ws, server_state &state, const std::string &voice,
                     const std::string &rate);

}  // namespace cli::serve
