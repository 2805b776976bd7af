// Win32-only: `orbhost serve`'s HTTP transport (Boost.Beast on Asio): accepts
// connections, reads requests within the limits, hands them to the router and
// writes the replies. Limits: request line and headers 8 KiB (431), bodies
// 64 KiB (413), 10 s to send the headers, 30 s idle, 64 connections, 30 s
// for a queued command (504).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "serve_routes.h"

namespace orbhost {

class HttpServer {
 public:
  // Binds address:port and starts serving on its own threads. Null, with a
  // message, when the address cannot be bound.
  static std::unique_ptr<HttpServer> Start(const std::string& address, uint16_t port,
                                           ServeRouter& router, std::string* error);
  virtual ~HttpServer() = default;
  // The port actually bound.
  virtual uint16_t port() const = 0;
  // Stops accepting, closes every connection and joins the threads. Idempotent.
  virtual void Stop() = 0;
};

}  // namespace orbhost
