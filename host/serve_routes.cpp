// `orbhost serve`'s routes and security rules (portable).
#include "serve_routes.h"

#include <charconv>
#include <cstdio>

#include "utf.h"
#include "web_assets.h"

namespace orbhost {
namespace {

constexpr std::string_view kCommandsPrefix = "/api/v1/commands/";

std::string Dump(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

HttpReply JsonReply(unsigned status, const Json& json) {
  HttpReply reply;
  reply.status = status;
  reply.body = Dump(json);
  return reply;
}

HttpReply MethodNotAllowed(std::string_view allow) {
  HttpReply reply = ErrorReply(405, "method not allowed here; use " + std::string(allow));
  reply.headers.emplace_back("Allow", std::string(allow));
  return reply;
}

double AgeSeconds(const Snapshot& s) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - s.takenSteady).count();
}

}  // namespace

HttpReply ErrorReply(unsigned status, std::string_view message) {
  return JsonReply(status, Json{{"error", std::string(message)}});
}

std::optional<HttpReply> ServeRouter::Handle(const HttpRequestView& request,
                                             const std::function<void(HttpReply)>& done,
                                             std::shared_ptr<CommandJob>* queued) {
  // A page in a browser reaches a local server only through a name that
  // resolves here (DNS rebinding) or from another origin: both are refused.
  if (!HostAllowed(request.host, settings_.hosts))
    return ErrorReply(403, "the Host header names no host this server answers to");
  if (request.secFetchSite == "cross-site")
    return ErrorReply(403, "cross-site requests are refused");
  if (request.origin && !OriginAllowed(*request.origin, request.host))
    return ErrorReply(403, "requests from another origin are refused");

  std::string_view path = request.target;
  std::string_view query;
  if (const size_t q = path.find('?'); q != std::string_view::npos) {
    query = path.substr(q + 1);
    path = path.substr(0, q);
  }
  if (path.rfind(kCommandsPrefix, 0) == 0) {
    return Command(request, path.substr(kCommandsPrefix.size()), query, done, queued);
  }
  if (request.method == "GET") return Get(path, query, done, queued);
  std::optional<HttpReply> known = Get(path, query, done, queued);
  if (known && known->status == 404) return known;
  return MethodNotAllowed("GET");
}

// Every GET path, in one place.
std::optional<HttpReply> ServeRouter::Get(std::string_view path, std::string_view query,
                                          const std::function<void(HttpReply)>&,
                                          std::shared_ptr<CommandJob>*) {
  if (path == "/api/v1/readings") return Readings();
  if (path == "/api/v1/history") return History(query);
  if (path == "/healthz") return Health();
  if (path == "/metrics") return Metrics();
  // The dashboard page and its files, compiled in.
  if (const WebAsset* asset = FindWebAsset(path)) {
    HttpReply reply;
    reply.contentType = std::string(asset->contentType);
    reply.body = std::string(asset->body);
    return reply;
  }
  return ErrorReply(404, "no such path");
}

std::optional<HttpReply> ServeRouter::Command(const HttpRequestView& request,
                                              std::string_view command, std::string_view query,
                                              const std::function<void(HttpReply)>& done,
                                              std::shared_ptr<CommandJob>* queued) {
  std::string name;
  if (!PercentDecode(command, &name) || name.empty() || name.find('/') != std::string::npos)
    return ErrorReply(404, "no such command");
  auto job = std::make_shared<CommandJob>();
  job->command = name;
  std::string error;
  if (request.method == "GET") {
    std::vector<QueryParameter> parameters;
    std::string form;
    if (!ParseQuery(query, &parameters, &error) ||
        !BuildQueryRequest(name, parameters, job->request, &form, &error))
      return ErrorReply(400, error);
    if (form == "typed") {
      job->form = JsonForm::kTyped;
    } else if (!form.empty() && form != "plain") {
      return ErrorReply(400, "form is plain or typed");
    }
    switch (ClassifyRequest(job->request)) {
      case CommandClass::kUnknown:
        return ErrorReply(404, "no such command: " + name);
      case CommandClass::kReadOnly:
        break;
      case CommandClass::kActing:
      case CommandClass::kRestart:
        return MethodNotAllowed("POST");
    }
  } else if (request.method == "POST") {
    switch (CheckBearer(request.authorization, settings_.token)) {
      case TokenCheck::kMissing:
        return ErrorReply(401, "this command needs Authorization: Bearer <token>");
      case TokenCheck::kWrong:
        return ErrorReply(403, "the token is wrong");
      case TokenCheck::kGood:
        break;
    }
    if (!request.peerIsLoopback && !settings_.allowRemoteActions)
      return ErrorReply(403, "commands are taken from this machine only (--allow-remote-actions)");
    if (!query.empty()) {
      std::vector<QueryParameter> parameters;
      if (!ParseQuery(query, &parameters, &error)) return ErrorReply(400, error);
      for (const QueryParameter& p : parameters) {
        if (p.key != "form") return ErrorReply(400, "arguments of a POST go in its JSON body");
        if (p.value == "typed") job->form = JsonForm::kTyped;
      }
    }
    if (!BuildJsonRequest(name, request.body, job->request, &error)) return ErrorReply(400, error);
    switch (ClassifyRequest(job->request)) {
      case CommandClass::kUnknown:
        return ErrorReply(404, "no such command: " + name);
      case CommandClass::kRestart:
        if (!settings_.allowRestart)
          return ErrorReply(403, "restarting the computer is refused (--allow-restart)");
        break;
      case CommandClass::kReadOnly:
      case CommandClass::kActing:
        break;
    }
  } else {
    return MethodNotAllowed("GET, POST");
  }
  job->done = done;
  if (!backend_.Submit(job)) return ErrorReply(503, "too many commands are waiting; try again");
  *queued = std::move(job);
  return std::nullopt;
}

HttpReply ServeRouter::Readings() const {
  const std::shared_ptr<const Snapshot> latest = backend_.Latest();
  if (!latest) return ErrorReply(503, "no snapshot yet");
  if (latest->jsonText.empty()) return JsonReply(200, SnapshotJson(*latest));
  HttpReply reply;
  reply.body = latest->jsonText;
  return reply;
}

HttpReply ServeRouter::History(std::string_view query) const {
  double seconds = kMaxHistorySeconds;
  std::vector<QueryParameter> parameters;
  std::string error;
  if (!ParseQuery(query, &parameters, &error)) return ErrorReply(400, error);
  for (const QueryParameter& p : parameters) {
    if (p.key != "seconds") return ErrorReply(400, "unknown parameter '" + p.key + "'");
    uint32_t value = 0;
    auto [end, ec] = std::from_chars(p.value.data(), p.value.data() + p.value.size(), value);
    if (p.value.empty() || ec != std::errc() || end != p.value.data() + p.value.size() ||
        value == 0 || value > kMaxHistorySeconds)
      return ErrorReply(400, "seconds is a whole number from 1 to 600");
    seconds = value;
  }
  // Spliced from the snapshots' own texts: {"seconds": N, "snapshots": [...]}.
  HttpReply reply;
  reply.body = "{\"seconds\":" + std::to_string(static_cast<int>(seconds)) + ",\"snapshots\":[";
  bool first = true;
  for (const auto& s : backend_.History(seconds)) {
    if (!first) reply.body += ',';
    first = false;
    reply.body += s->jsonText.empty() ? Dump(SnapshotJson(*s)) : s->jsonText;
  }
  reply.body += "]}";
  return reply;
}

HttpReply ServeRouter::Health() const {
  const std::shared_ptr<const Snapshot> latest = backend_.Latest();
  Json body = Json::object();
  if (!latest) {
    body["status"] = "starting";
    body["initialize_status"] = nullptr;
    body["snapshot_age_seconds"] = nullptr;
    return JsonReply(503, body);
  }
  const double age = AgeSeconds(*latest);
  const bool fresh = backend_.SamplingRuns() && age < 3 * settings_.intervalSeconds;
  body["status"] = fresh ? "ok" : "stale";
  body["initialize_status"] = latest->initializeStatus;
  body["snapshot_age_seconds"] = age;
  return JsonReply(fresh ? 200 : 503, body);
}

HttpReply ServeRouter::Metrics() const {
  const std::shared_ptr<const Snapshot> latest = backend_.Latest();
  if (!latest) return ErrorReply(503, "no snapshot yet");
  HttpReply reply;
  reply.contentType = "text/plain; version=0.0.4; charset=utf-8";
  reply.body = RenderMetrics(*latest, backend_.Stats(), std::chrono::steady_clock::now());
  return reply;
}

}  // namespace orbhost
