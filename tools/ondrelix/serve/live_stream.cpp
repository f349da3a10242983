#include "live_stream.h"

#include <atomic>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>
#include <vector>

#include "../cli.h"
#include "../host_audio.h"
#include "api.h"
#include "ondrelix.h"
#include "stream/stream_constants.h"

namespace cli::serve {

namespace {

namespace websocket = boost::beast::websocket;
constexpr size_t kLargestMessage = 1 << 20;  // a second of 192 kHz audio is 384 kB

// The bridge between the page's samples and the library's stream at 16 kHz. A thread of its own
// takes the stream's output as it comes (a read waits up to 20 ms for it), so the connection's
// thread never waits: it feeds each message in and sends back whatever is ready.
class live_bridge {
 public:
  explicit live_bridge(double rate) : link_(rate, rate) {}
  ~live_bridge() { stop_reading(); }
  live_bridge(const live_bridge &) = delete;
  live_bridge &operator=(const live_bridge &) = delete;

  bool ok() const { return link_.ok(); }
  // Once the stream runs.
  void start_reading() {
    reader_ = std::thread([this] { read_output(); });
  }
  // Before the stream stops.
  void stop_reading() {
    stopping_ = true;
    if (reader_.joinable()) reader_.join();
  }

  // Takes a message's bytes (a byte left over waits for the next message) and returns the
  // converted samples that are ready.
  std::string push(const std::string &bytes) {
    host_.clear();
    decoder_.decode(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), host_);
    host_in_ += static_cast<int64_t>(host_.size());
    link_.write(host_.data(), host_.size());
    return ready();
  }

  // Converts what is still inside the stream and returns it, up to the input's length.
  std::string finish() {
    link_.end_input();
    link_.write_silence(qv::kDefaultHopAtStreamRate + qv::kContinuousLookaheadSamples);
    std::string tail;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (link_.delivered() < link_.fed() && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      tail += ready();
    }
    std::vector<float> at_host;
    link_.end_output(at_host);
    return tail + encoded(at_host);
  }

 private:
  void read_output() {
    int16_t chunk[4096];
    while (!stopping_) {
      int got = 0;
      ondrelix_rt_read(chunk, 4096, &got);
      if (got <= 0) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      arrived_.insert(arrived_.end(), chunk, chunk + got);
    }
  }

  // What the reader took since the last call, at the page's rate.
  std::string ready() {
    std::vector<int16_t> taken;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      taken.swap(arrived_);
    }
    std::vector<float> at_host;
    link_.take(taken.data(), static_cast<int64_t>(taken.size()), at_host);
    return encoded(at_host);
  }

  // Samples as s16le, never more in all than came in.
  std::string encoded(const std::vector<float> &samples) {
    const size_t room = static_cast<size_t>(std::max<int64_t>(host_in_ - host_out_, 0));
    const size_t n = std::min(samples.size(), room);
    std::vector<unsigned char> bytes;
    encode_raw(samples.data(), n, 1, bytes);
    host_out_ += static_cast<int64_t>(n);
    return std::string(bytes.begin(), bytes.end());
  }

  stream_link link_;
  raw_decoder decoder_{1};
  std::vector<float> host_;
  int64_t host_in_ = 0, host_out_ = 0;
  std::mutex mutex_;
  std::vector<int16_t> arrived_;  // under mutex_
  std::atomic<bool> stopping_{false};
  std::thread reader_;
};

void send_text(websocket_stream &ws, const std::string &text) {
  boost::beast::error_code ec;
  ws.text(true);
  ws.write(boost::asio::buffer(text), ec);
}

void send_binary(websocket_stream &ws, const std::string &bytes, boost::beast::error_code &ec) {
  if (bytes.empty()) return;
  ws.binary(true);
  ws.write(boost::asio::buffer(bytes), ec);
}

void refuse(websocket_stream &ws, const std::string &message) {
  send_text(ws, error_reply(400, message).body);
  boost::beast::error_code ec;
  ws.close(websocket::close_code::policy_error, ec);
}

// Runs the stream once it is started: messages in, converted samples out.
void bridge_messages(websocket_stream &ws, live_bridge &bridge) {
  boost::beast::flat_buffer buffer;
  boost::beast::error_code ec;
  for (;;) {
    buffer.clear();
    ws.read(buffer, ec);
    if (ec) return;  // the page went away: nothing to send the rest to
    const std::string message = boost::beast::buffers_to_string(buffer.data());
    if (ws.got_text()) {
      if (message != "stop") continue;  // other texts mean nothing here
      send_binary(ws, bridge.finish(), ec);
      return;
    }
    send_binary(ws, bridge.push(message), ec);
    if (ec) return;
  }
}

}  // namespace

void run_live_stream(websocket_stream &ws, server_state &state, const std::string &voice,
                     const std::string &rate_text) {
  long rate = qv::kStreamRate;
  if (!rate_text.empty() && !parse_int(rate_text, 8000, 192000, rate))
    return refuse(ws, "rate takes a whole number of Hz from 8000 to 192000");
  if (!is_voice(state, voice)) return refuse(ws, "unknown voice '" + voice + "'");
  if (state.live.exchange(true))
    return refuse(ws, "another live stream is running: stop it first (the engine runs one)");
  ws.read_message_max(kLargestMessage);
  ws.auto_fragment(false);  // a message a time, as the page sends them
  live_bridge bridge(static_cast<double>(rate));
  bool started;
  {
    std::lock_guard<std::mutex> lock(state.engine);
    started = bridge.ok() && ondrelix_rt_start(voice.c_str(), "{\"continuous\":true}") == 0;
  }
  if (!started) {
    state.live = false;
    return refuse(ws, std::string("cannot start the stream: ") + ondrelix_last_error());
  }
  bridge.start_reading();
  bridge_messages(ws, bridge);
  bridge.stop_reading();
  std::string report;
  {
    std::lock_guard<std::mutex> lock(state.engine);
    const char *text = nullptr;
    ondrelix_rt_stop(&text);
    if (text) report = text;  // the library's buffer serves the next call too
  }
  state.live = false;
  if (!report.empty()) send_text(ws, report);
  boost::beast::error_code ec;
  ws.close(websocket::close_code::normal, ec);
}

}  // namespace cli::serve
