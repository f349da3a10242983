#include "server.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <thread>

#include "api.h"
#include "live_stream.h"
#include "page.h"
#include "same_origin.h"

namespace cli::serve {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

constexpr uint64_t kLargestBody = 50ull * 1024 * 1024;
constexpr int kIdleSeconds = 60;  // a connection that sends nothing for this long is closed

using request = http::request<http::string_body>;

// The connections being served, so that stopping can end them and wait for their threads.
class open_connections {
 public:
  void opened(int socket) {
    std::lock_guard<std::mutex> lock(mutex_);
    sockets_.insert(socket);
  }
  void closed(int socket) {
    std::lock_guard<std::mutex> lock(mutex_);
    sockets_.erase(socket);
    changed_.notify_all();
  }
  // Ends every connection's reads and writes (a request under way finishes its engine call
  // first) and waits for their threads, at most `patience`. Only at stop: no socket is accepted
  // any more, so a number just closed and reused can only be a file, which shutdown leaves be.
  void close_all(std::chrono::seconds patience) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (int socket : sockets_) ::shutdown(socket, SHUT_RDWR);
    changed_.wait_for(lock, patience, [&] { return sockets_.empty(); });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::set<int> sockets_;
};

http::response<http::string_body> make_response(const request &req, const reply &r) {
  http::response<http::string_body> res{static_cast<http::status>(r.status), req.version()};
  res.set(http::field::content_type, r.content_type);
  res.set(http::field::cache_control, "no-store");
  res.set("X-Content-Type-Options", "nosniff");
  res.keep_alive(req.keep_alive());
  res.body() = r.body;
  res.prepare_payload();
  return res;
}

std::string path_of(const request &req) {
  const std::string target(req.target());
  return target.substr(0, target.find('?'));
}

reply route(server_state &state, const request &req) {
  const std::string path = path_of(req), target(req.target());
  const bool get = req.method() == http::verb::get, post = req.method() == http::verb::post;
  if (path == "/" && get) return {200, "text/html; charset=utf-8", page_html()};
  if (path == "/favicon.ico" && get) return {204, "image/x-icon", ""};
  if (path == "/api/voices" && get) return voices(state);
  if (path == "/api/convert" && post)
    return convert(state, query_value(target, "voice"), req.body());
  if (path == "/api/clone" && post) return clone(state, req.body());
  if (path == "/" || path == "/api/voices" || path == "/api/convert" || path == "/api/clone")
    return error_reply(405, "method not allowed");
  return error_reply(404, "not found");
}

void write_reply(tcp::socket &socket, const request &req, const reply &r) {
  beast::error_code ec;
  http::write(socket, make_response(req, r), ec);
}

// Serves one connection: requests until it closes, or the WebSocket of a live stream.
void serve_connection(tcp::socket socket, server_state &state) {
  // Blocking reads end after a quiet minute, so a client that stalls cannot hold a thread.
  timeval idle{kIdleSeconds, 0};
  setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
  beast::flat_buffer buffer;
  for (;;) {
    http::request_parser<http::string_body> parser;
    parser.body_limit(kLargestBody);
    beast::error_code ec;
    http::read(socket, buffer, parser, ec);
    if (ec == http::error::body_limit) {
      request req;
      req.keep_alive(false);
      write_reply(socket, req, error_reply(413, "the file is larger than 50 MB"));
      return;
    }
    if (ec) return;  // closed, timed out or not HTTP
    request req = parser.release();
    const std::string host(req[http::field::host]), origin(req[http::field::origin]);
    if (!same_origin(host, origin, state.port)) {
      req.keep_alive(false);
      write_reply(socket, req, error_reply(403, "only the page of this server may use it"));
      return;
    }
    if (beast::websocket::is_upgrade(req)) {
      if (path_of(req) != "/api/stream") {
        write_reply(socket, req, error_reply(404, "not found"));
        return;
      }
      websocket_stream ws(std::move(socket));
      ws.accept(req, ec);
      if (!ec)
        run_live_stream(ws, state, query_value(std::string(req.target()), "voice"),
                        query_value(std::string(req.target()), "rate"));
      return;
    }
    write_reply(socket, req, route(state, req));
    if (!req.keep_alive()) return;
  }
}

}  // namespace

int run_server(server_state &state, const std::string &host, unsigned short port) {
  // The connection threads share the I/O context and the list of connections: their sockets
  // belong to the context, which must outlive them even if one is still ending when this
  // function returns.
  auto context = std::make_shared<asio::io_context>();
  asio::io_context &ioc = *context;
  auto connections = std::make_shared<open_connections>();
  beast::error_code ec;
  const asio::ip::address address = asio::ip::make_address(host, ec);
  if (ec) {
    std::fprintf(stderr, "ondrelix: --host takes an IP address, not '%s'\n", host.c_str());
    return 2;
  }
  tcp::acceptor acceptor(ioc);
  const tcp::endpoint endpoint(address, port);
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    std::fprintf(stderr, "ondrelix: cannot listen on %s port %u: %s\n", host.c_str(), port,
                 ec.message().c_str());
    return 1;
  }
  state.port = acceptor.local_endpoint().port();
  const std::string shown = address.is_v6() ? "[" + host + "]" : host;
  std::printf("ondrelix: serving on http://%s:%u/ (Ctrl-C stops)\n", shown.c_str(), state.port);
  std::fflush(stdout);

  std::function<void()> accept_next = [&] {
    acceptor.async_accept([&](beast::error_code error, tcp::socket socket) {
      if (error) return;  // closed: the server stops
      const int handle = socket.native_handle();
      connections->opened(handle);
      std::thread([context, connections, handle, &state, s = std::move(socket)]() mutable {
        serve_connection(std::move(s), state);  // the socket closes on return
        connections->closed(handle);
      }).detach();
      accept_next();
    });
  };
  asio::signal_set signals(ioc, SIGINT, SIGTERM);
  signals.async_wait([&](beast::error_code, int) { acceptor.close(); });
  accept_next();
  ioc.run();
  connections->close_all(std::chrono::seconds(10));
  return 0;
}

}  // namespace cli::serve
