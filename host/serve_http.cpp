// Win32-only: `orbhost serve`'s HTTP transport on Boost.Beast. This is the
// only file that includes Boost, so its heavy headers compile once.
//
// Each connection reads one request at a time: it may stay idle up to 30 s
// between requests, then has 10 s to send the request line and headers
// (8 KiB at most) and 30 s of inactivity at most while sending a body of at
// most 64 KiB. A slow or oversized request is answered (431, 413) or the
// connection is closed; it never holds anything but its own connection.
// <utility> first: Boost 1.74's asio/awaitable.hpp uses std::exchange without it.
#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <optional>
#include <thread>
#include <vector>

#include "serve_http.h"

namespace orbhost {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

constexpr uint32_t kHeaderLimit = 8 * 1024;
constexpr uint64_t kBodyLimit = 64 * 1024;
constexpr auto kHeaderTime = std::chrono::seconds(10);
constexpr auto kIdleTime = std::chrono::seconds(30);
constexpr auto kCommandTime = std::chrono::seconds(30);
constexpr int kMaxConnections = 64;
constexpr int kThreads = 2;

class Server;

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, std::atomic<int>& connections, ServeRouter& router)
      : stream_(std::move(socket)),
        commandTimer_(stream_.get_executor()),
        connections_(connections),
        router_(router) {}
  ~Session() { --connections_; }

  void Start() {
    // A new connection has kHeaderTime for its first request's headers.
    ReadHeader();
  }

 private:
  // Between requests: wait up to kIdleTime for the next request's first bytes.
  void WaitForRequest() {
    if (buffer_.size() > 0) return ReadHeader();  // pipelined bytes already here
    stream_.expires_after(kIdleTime);
    stream_.async_read_some(buffer_.prepare(1024),
                            [self = shared_from_this()](beast::error_code ec, size_t n) {
                              if (ec) return self->Close();
                              self->buffer_.commit(n);
                              self->ReadHeader();
                            });
  }

  void ReadHeader() {
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(kBodyLimit);
    stream_.expires_after(kHeaderTime);
    http::async_read_header(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, size_t) { self->OnHeader(ec); });
  }

  void OnHeader(beast::error_code ec) {
    if (ec) return OnReadError(ec);
    if (parser_->is_done()) return Dispatch();
    stream_.expires_after(kIdleTime);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, size_t) {
                       if (ec) return self->OnReadError(ec);
                       self->Dispatch();
                     });
  }

  void OnReadError(beast::error_code ec) {
    if (ec == http::error::header_limit)
      return Write(ErrorReply(431, "the request line and headers exceed 8 KiB"), true);
    if (ec == http::error::body_limit)
      return Write(ErrorReply(413, "the body exceeds 64 KiB"), true);
    if (ec == beast::error::timeout || ec == http::error::end_of_stream || ec == net::error::eof ||
        ec == net::error::connection_reset || ec == net::error::operation_aborted)
      return Close();
    Write(ErrorReply(400, "malformed request: " + ec.message()), true);
  }

  void Dispatch() {
    const auto& request = parser_->get();
    keepAlive_ = request.keep_alive();
    HttpRequestView view;
    view.method = std::string_view(request.method_string().data(), request.method_string().size());
    view.target = std::string_view(request.target().data(), request.target().size());
    auto field = [&](http::field name) {
      auto it = request.find(name);
      return it == request.end() ? std::optional<std::string_view>()
                                 : std::string_view(it->value().data(), it->value().size());
    };
    view.host = field(http::field::host).value_or("");
    view.origin = field(http::field::origin);
    if (auto it = request.find("Sec-Fetch-Site"); it != request.end())
      view.secFetchSite = std::string_view(it->value().data(), it->value().size());
    view.authorization = field(http::field::authorization).value_or("");
    view.body = request.body();
    beast::error_code ec;
    const tcp::endpoint peer = stream_.socket().remote_endpoint(ec);
    view.peerIsLoopback = !ec && peer.address().is_loopback();

    answered_ = false;
    std::weak_ptr<Session> weak = shared_from_this();
    auto done = [weak](HttpReply reply) {
      // From the plug-in thread: continue on the connection's strand.
      if (auto self = weak.lock()) {
        net::post(self->stream_.get_executor(),
                  [self, reply = std::move(reply)]() mutable { self->Answer(std::move(reply)); });
      }
    };
    std::shared_ptr<CommandJob> job;
    std::optional<HttpReply> reply = router_.Handle(view, done, &job);
    if (reply) return Write(std::move(*reply), false);
    // The command waits for the plug-in thread, at most kCommandTime.
    job_ = job;
    commandTimer_.expires_after(kCommandTime);
    commandTimer_.async_wait([self = shared_from_this()](beast::error_code ec) {
      if (ec || self->answered_) return;
      if (self->job_) self->job_->abandoned = true;
      self->Answer(ErrorReply(504, "the plug-in did not answer within 30 s"));
    });
  }

  void Answer(HttpReply reply) {
    if (answered_) return;
    answered_ = true;
    commandTimer_.cancel();
    job_.reset();
    Write(std::move(reply), false);
  }

  void Write(HttpReply reply, bool close) {
    answered_ = true;
    auto response = std::make_shared<http::response<http::string_body>>();
    response->result(reply.status);
    response->version(11);
    response->set(http::field::server, "orbhost");
    response->set(http::field::content_type, reply.contentType);
    response->set("Content-Security-Policy", "default-src 'self'");
    response->set("X-Content-Type-Options", "nosniff");
    response->set(http::field::cache_control, "no-store");
    for (const auto& [name, value] : reply.headers) response->set(name, value);
    response->body() = std::move(reply.body);
    const bool keep = keepAlive_ && !close;
    response->keep_alive(keep);
    response->prepare_payload();
    stream_.expires_after(kIdleTime);
    http::async_write(stream_, *response,
                      [self = shared_from_this(), response, keep](beast::error_code ec, size_t) {
                        if (ec || !keep) return self->Close();
                        self->WaitForRequest();
                      });
  }

  void Close() {
    beast::error_code ec;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
    stream_.socket().close(ec);
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  net::steady_timer commandTimer_;
  std::shared_ptr<CommandJob> job_;
  bool answered_ = true;
  bool keepAlive_ = false;
  std::atomic<int>& connections_;
  ServeRouter& router_;
};

class Server final : public HttpServer {
 public:
  explicit Server(ServeRouter& router) : router_(router), acceptor_(io_) {}
  ~Server() override { Stop(); }

  bool Listen(const std::string& address, uint16_t port, std::string* error) {
    beast::error_code ec;
    const net::ip::address ip = net::ip::make_address(address, ec);
    if (ec) {
      *error = "'" + address + "' is not an IP address";
      return false;
    }
    const tcp::endpoint endpoint(ip, port);
    // No SO_REUSEADDR: on Windows it would let two servers share the port.
    acceptor_.open(endpoint.protocol(), ec);
    if (!ec) acceptor_.bind(endpoint, ec);
    if (!ec) acceptor_.listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
      *error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + ec.message();
      return false;
    }
    port_ = acceptor_.local_endpoint(ec).port();
    Accept();
    for (int i = 0; i < kThreads; ++i) threads_.emplace_back([this] { io_.run(); });
    return true;
  }

  uint16_t port() const override { return port_; }

  void Stop() override {
    if (stopped_.exchange(true)) return;
    net::post(io_, [this] {
      beast::error_code ec;
      acceptor_.close(ec);
    });
    io_.stop();
    for (std::thread& t : threads_) t.join();
    threads_.clear();
  }

 private:
  void Accept() {
    acceptor_.async_accept(net::make_strand(io_), [this](beast::error_code ec, tcp::socket socket) {
      if (ec == net::error::operation_aborted || !acceptor_.is_open()) return;
      if (!ec) {
        if (connections_.load() >= kMaxConnections) {
          beast::error_code ignored;
          socket.close(ignored);  // over the limit: dropped at once
        } else {
          ++connections_;
          std::make_shared<Session>(std::move(socket), connections_, router_)->Start();
        }
      }
      Accept();
    });
  }

  // Declared before io_: sessions destroyed with io_'s pending handlers still count down.
  std::atomic<int> connections_{0};
  ServeRouter& router_;
  net::io_context io_{kThreads};
  tcp::acceptor acceptor_;
  std::vector<std::thread> threads_;
  std::atomic<bool> stopped_{false};
  uint16_t port_ = 0;
};

}  // namespace

std::unique_ptr<HttpServer> HttpServer::Start(const std::string& address, uint16_t port,
                                              ServeRouter& router, std::string* error) {
  auto server = std::make_unique<Server>(router);
  if (!server->Listen(address, port, error)) return nullptr;
  return server;
}

}  // namespace orbhost
