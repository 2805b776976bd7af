// What `orbhost serve` reads from an HTTP request itself (portable).
#include "serve_request.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "typed_args.h"
#include "utf.h"
#include "value_json.h"

namespace orbhost {
namespace {

bool Fail(std::string* error, std::string message) {
  if (error) *error = std::move(message);
  return false;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The key a "key[:Kind]" text sets in the tree (its dotted path), or nullopt
// when the kind suffix names no kind.
std::optional<std::string> TreeKey(std::string_view typedKey) {
  std::string key;
  std::optional<OrbValueKind> kind;
  if (!SplitTypedKey(typedKey, &key, &kind, nullptr)) return std::nullopt;
  return key;
}

// Commands that read and change nothing: sent with GET, no token.
constexpr std::string_view kReadOnly[] = {
    "GetName",
    "QueryInformation",
    "GetFeatures",
    "GetType40Info",
    "GetHTMLSupport",
    "CheckFrameworkReady",
    "GetCpuVendor",
    "GetCpuFlag",
    "GetPowerSavingInfo",
    "GetPPTLimit",
    "GetBiosPPTFlag",
    "GetActivePowerPlan",
    "GetTesseraPluginInfo",
    "GetTesseraPluginInfoForDashbaord",
    "GetUWPVersionByAppService",
};

}  // namespace

const std::vector<std::string_view>& KnownCommands() {
  static const std::vector<std::string_view> names = {
      "StartNotification",
      "StopNotification",
      "SendTest",
      "GetName",
      "QueryInformation",
      "RequestAppService",
      "Notify.LumenSyncChange",
      "TestSQDBServer",
      "Notify.LumenMessage",
      "PrivacyPolicyStatus",
      "GetUWPVersionByAppService",
      "GetConfigUWPVersion",
      "GetOPLandingPageInfo",
      "SetFanSpeed",
      "DoAiControl",
      "GetTesseraPluginInfo",
      "GetTesseraPluginInfoForDashbaord",
      "DoTesseraReboot",
      "CheckCKServiceRestart",
      "CheckCorvaneSocketServer",
      "CheckFrameworkReady",
      "CheckSystemResume",
      "GetPowerSavingInfo",
      "GetPPTLimit",
      "SetPPTLimit",
      "SaveCpuPowerSavingSettings",
      "PowerSavingPPTCtrl",
      "GetBiosPPTFlag",
      "GetCpuFlag",
      "GetCpuVendor",
      "OpenPowerOptionPage",
      "GetActivePowerPlan",
      "SetPowerStatus",
      "GetFeatures",
      "GetHTMLSupport",
      "CheckDebugMode",
      "GetType40Info",
  };
  return names;
}

bool IsKnownCommand(std::string_view name) {
  const auto& names = KnownCommands();
  return std::find(names.begin(), names.end(), name) != names.end();
}

CommandClass ClassifyRequest(const QuonValueSet& request) {
  const std::string command = Utf16ToUtf8(request.GetStringValue("Cmd"));
  if (!IsKnownCommand(command)) return CommandClass::kUnknown;
  for (std::string_view name : kReadOnly) {
    if (command == name) return CommandClass::kReadOnly;
  }
  if (command == "DoTesseraReboot") return CommandClass::kRestart;
  if (command == "DoAiControl" && request.GetStringValue("subCommand") == u"Reboot")
    return CommandClass::kRestart;
  return CommandClass::kActing;
}

bool PercentDecode(std::string_view text, std::string* out) {
  out->clear();
  out->reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      out->push_back(' ');
    } else if (c == '%') {
      if (i + 2 >= text.size()) return false;
      const int high = HexValue(text[i + 1]);
      const int low = HexValue(text[i + 2]);
      if (high < 0 || low < 0) return false;
      out->push_back(static_cast<char>(high * 16 + low));
      i += 2;
    } else {
      out->push_back(c);
    }
  }
  return true;
}

bool ParseQuery(std::string_view query, std::vector<QueryParameter>* out, std::string* error) {
  out->clear();
  size_t start = 0;
  while (start <= query.size()) {
    size_t end = query.find('&', start);
    if (end == std::string_view::npos) end = query.size();
    const std::string_view part = query.substr(start, end - start);
    start = end + 1;
    if (part.empty()) continue;
    if (out->size() == kMaxQueryParameters)
      return Fail(error, "at most " + std::to_string(kMaxQueryParameters) + " query parameters");
    const size_t equals = part.find('=');
    if (equals == std::string_view::npos)
      return Fail(error, "query parameter without '=': " + std::string(part.substr(0, 64)));
    QueryParameter parameter;
    if (!PercentDecode(part.substr(0, equals), &parameter.key) ||
        !PercentDecode(part.substr(equals + 1), &parameter.value))
      return Fail(error, "malformed percent escape in the query");
    if (parameter.key.empty()) return Fail(error, "query parameter with an empty key");
    out->push_back(std::move(parameter));
  }
  return true;
}

bool BuildQueryRequest(std::string_view command, const std::vector<QueryParameter>& parameters,
                       QuonValueSet& request, std::string* form, std::string* error) {
  request.Clear();
  form->clear();
  request.SetStringValue("Cmd", Utf8ToUtf16(command));
  std::set<std::string> seen = {"Cmd"};
  bool haveForm = false;
  for (const QueryParameter& p : parameters) {
    if (p.key == "form") {
      if (haveForm) return Fail(error, "repeated key 'form'");
      haveForm = true;
      *form = p.value;
      continue;
    }
    const std::optional<std::string> key = TreeKey(p.key);
    if (!key) return Fail(error, "unknown kind in '" + p.key + "'");
    if (!seen.insert(*key).second) return Fail(error, "repeated key '" + *key + "'");
    if (!AddTypedArgument(request, p.key + "=" + p.value, error)) return false;
  }
  return true;
}

bool BuildJsonRequest(std::string_view command, std::string_view body, QuonValueSet& request,
                      std::string* error) {
  request.Clear();
  // Repeated keys and the nesting depth are caught while parsing: the
  // document model would keep only one of two equal keys.
  std::vector<std::set<std::string>> objects;
  std::string problem;
  auto check = [&](int depth, Json::parse_event_t event, Json& parsed) {
    if (!problem.empty()) return false;
    if (depth > QuonValueSet::kMaxDepth + 1) {
      problem = "the body is nested too deeply";
      return false;
    }
    switch (event) {
      case Json::parse_event_t::object_start:
        objects.emplace_back();
        break;
      case Json::parse_event_t::object_end:
        if (!objects.empty()) objects.pop_back();
        break;
      case Json::parse_event_t::key: {
        const std::string name = parsed.get<std::string>();
        const std::string key = TreeKey(name).value_or(name);
        if (!objects.empty() && !objects.back().insert(key).second)
          problem = "repeated key '" + key + "'";
        break;
      }
      default:
        break;
    }
    return problem.empty();
  };
  Json json = Json::parse(body.begin(), body.end(), check, /*allow_exceptions=*/false);
  if (!problem.empty()) return Fail(error, problem);
  if (json.is_discarded() || !json.is_object())
    return Fail(error, "the body must be one JSON object");
  if (!JsonToTree(json, request, error)) return false;
  if (request.Contains("Cmd")) {
    if (request.GetStringValue("Cmd") != Utf8ToUtf16(command))
      return Fail(error, "\"Cmd\" in the body differs from the command in the path");
  }
  request.SetStringValue("Cmd", Utf8ToUtf16(command));
  return true;
}

bool HostAllowed(std::string_view host, const HostRules& rules) {
  const std::string suffix = ":" + std::to_string(rules.port);
  if (host.size() <= suffix.size() || host.substr(host.size() - suffix.size()) != suffix)
    return false;
  const std::string name = Lower(host.substr(0, host.size() - suffix.size()));
  if (name == "localhost" || name == "127.0.0.1" || name == "[::1]") return true;
  for (const std::string& allowed : rules.allowedHosts) {
    if (name == Lower(allowed)) return true;
  }
  return false;
}

bool OriginAllowed(std::string_view origin, std::string_view host) {
  return Lower(origin) == "http://" + Lower(host);
}

TokenCheck CheckBearer(std::string_view authorization, std::string_view token) {
  constexpr std::string_view kScheme = "Bearer ";
  if (authorization.empty()) return TokenCheck::kMissing;
  if (authorization.size() < kScheme.size() ||
      Lower(authorization.substr(0, kScheme.size())) != "bearer ")
    return TokenCheck::kWrong;
  const std::string_view given = authorization.substr(kScheme.size());
  if (given.size() != token.size() || token.empty()) return TokenCheck::kWrong;
  unsigned difference = 0;
  for (size_t i = 0; i < token.size(); ++i)
    difference |= static_cast<unsigned char>(given[i]) ^ static_cast<unsigned char>(token[i]);
  return difference == 0 ? TokenCheck::kGood : TokenCheck::kWrong;
}

}  // namespace orbhost
