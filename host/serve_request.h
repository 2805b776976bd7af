// What `orbhost serve` reads from an HTTP request itself (portable): query
// strings into request trees, JSON bodies into request trees, which commands
// may be sent and how, and the Host and Origin rules. The HTTP framing itself
// is Boost.Beast's (serve_http.cpp); everything here works on texts it has
// already split.
//
// Limits: a query string holds at most kMaxQueryParameters parameters; a JSON
// body nests at most QuonValueSet::kMaxDepth levels; a repeated key (after
// its kind suffix is removed, so "a=1&a:Int=2" repeats "a") is an error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pelorus/value_set.h"

namespace orbhost {

constexpr size_t kMaxQueryParameters = 64;

// The plug-in's 37 command names, in its table order.
const std::vector<std::string_view>& KnownCommands();
bool IsKnownCommand(std::string_view name);

// How a request may reach the plug-in.
enum class CommandClass {
  kUnknown,   // not one of the plug-in's commands: refused
  kReadOnly,  // reads and changes nothing: GET, no token
  kActing,    // everything else: POST with the token
  kRestart,   // restarts the computer: POST with the token, and only with --allow-restart
};

// Classifies the tree as it would be sent: "Cmd" read as the plug-in reads
// it (a String; any other kind names no command), and for DoAiControl the
// "subCommand" it would act on.
CommandClass ClassifyRequest(const QuonValueSet& request);

// "a%20b" -> "a b", "+" -> " ". False on a malformed escape.
bool PercentDecode(std::string_view text, std::string* out);

struct QueryParameter {
  std::string key;  // decoded, kind suffix included ("uint:UInt")
  std::string value;
};

// Splits and decodes "k=v&k2=v2". Empty parts are skipped; a part without
// "=" is an error, as are more than kMaxQueryParameters parts.
bool ParseQuery(std::string_view query, std::vector<QueryParameter>* out, std::string* error);

// The request of GET /api/v1/commands/<command>?...: "Cmd" from the path, each
// parameter as orbhost call's key[:Kind]=value argument. "form" is not an
// argument: it selects the answer's form and is returned in *form ("" when
// absent). A key given twice, or "Cmd" among the parameters, is an error.
bool BuildQueryRequest(std::string_view command, const std::vector<QueryParameter>& parameters,
                       QuonValueSet& request, std::string* form, std::string* error);

// The request of POST /api/v1/commands/<command>: the body in --json form (an
// object; typed or plain keys). "Cmd" in the body must match the path when
// given. A key repeated in one object (kind suffixes removed) is an error.
bool BuildJsonRequest(std::string_view command, std::string_view body, QuonValueSet& request,
                      std::string* error);

// The port of the server and the host names it answers to.
struct HostRules {
  uint16_t port = 0;
  std::vector<std::string> allowedHosts;  // --allow-host names, without a port
};

// The Host header must be localhost, 127.0.0.1, [::1] or an allowed name,
// with the server's port (letter case of names ignored).
bool HostAllowed(std::string_view host, const HostRules& rules);

// An Origin header, when present, must be the server's own: "http://" and the
// request's (already allowed) Host header.
bool OriginAllowed(std::string_view origin, std::string_view host);

// "Bearer <token>" compared with the token in constant time for equal lengths.
enum class TokenCheck { kMissing, kWrong, kGood };
TokenCheck CheckBearer(std::string_view authorization, std::string_view token);

}  // namespace orbhost
