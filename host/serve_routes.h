// `orbhost serve`'s routes and security rules (portable): what each request
// gets, given the headers the transport (serve_http.cpp) read. Every GET path
// is dispatched in one place, ServeRouter::Get; the transport adds the
// headers every response carries.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "serve_metrics.h"
#include "serve_readings.h"
#include "serve_request.h"
#include "value_json.h"

namespace orbhost {

struct HttpReply {
  unsigned status = 200;
  std::string contentType = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;  // besides the common ones
};

// {"error": message} with the status.
HttpReply ErrorReply(unsigned status, std::string_view message);

struct HttpRequestView {
  std::string_view method;
  std::string_view target;  // path and query
  std::string_view host;
  std::optional<std::string_view> origin;
  std::string_view secFetchSite;
  std::string_view authorization;
  std::string_view body;
  bool peerIsLoopback = true;
};

// A command on its way to the plug-in thread. done is called exactly once,
// from the plug-in thread, unless the job was abandoned before it ran.
struct CommandJob {
  QuonValueSet request;
  std::string command;
  JsonForm form = JsonForm::kPlain;
  std::function<void(HttpReply)> done;
  std::atomic<bool> abandoned{false};
};

// What the routes read: the published snapshots and statistics, and the
// plug-in thread's queue.
class ServeBackend {
 public:
  virtual ~ServeBackend() = default;
  virtual std::shared_ptr<const Snapshot> Latest() const = 0;
  // Snapshots taken within the last `seconds`, oldest first.
  virtual std::vector<std::shared_ptr<const Snapshot>> History(double seconds) const = 0;
  virtual CommandStats Stats() const = 0;
  virtual bool SamplingRuns() const = 0;
  // False when kMaxWaitingCommands jobs already wait.
  virtual bool Submit(std::shared_ptr<CommandJob> job) = 0;
};

constexpr size_t kMaxWaitingCommands = 8;
constexpr double kMaxHistorySeconds = 600;

struct ServeSettings {
  HostRules hosts;
  std::string token;
  bool allowRemoteActions = false;
  bool allowRestart = false;
  double intervalSeconds = 2;
};

class ServeRouter {
 public:
  ServeRouter(ServeBackend& backend, ServeSettings settings)
      : backend_(backend), settings_(std::move(settings)) {}

  // The reply, or nullopt when a command was queued: its reply then arrives
  // through job->done (the transport answers 504 itself after its wait).
  std::optional<HttpReply> Handle(const HttpRequestView& request,
                                  const std::function<void(HttpReply)>& done,
                                  std::shared_ptr<CommandJob>* queued);

  const ServeSettings& settings() const { return settings_; }

 private:
  std::optional<HttpReply> Get(std::string_view path, std::string_view query,
                               const std::function<void(HttpReply)>& done,
                               std::shared_ptr<CommandJob>* queued);
  std::optional<HttpReply> Command(const HttpRequestView& request, std::string_view command,
                                   std::string_view query,
                                   const std::function<void(HttpReply)>& done,
                                   std::shared_ptr<CommandJob>* queued);
  HttpReply Readings() const;
  HttpReply History(std::string_view query) const;
  HttpReply Health() const;
  HttpReply Metrics() const;

  ServeBackend& backend_;
  ServeSettings settings_;
};

}  // namespace orbhost
