// Win32-only: the "call" and "shell" modes.
#include "requests.h"

#include <iostream>

#include "framing.h"
#include "typed_args.h"
#include "utf.h"

namespace orbhost {
namespace {

JsonForm JsonFormOf(OutputForm form) {
  return form == OutputForm::kTyped ? JsonForm::kTyped : JsonForm::kPlain;
}

}  // namespace

Json AnswerJson(const CallResult& result, OutputForm form) {
  Json answer{{"status", StatusText(result.status)}};
  if (!result.replyValid) {
    answer["response"] = nullptr;
    answer["error"] = "the reply is not a valid value tree";
  } else if (form == OutputForm::kDump) {
    answer["dump"] = DumpText(result.response);
  } else {
    answer["response"] = TreeToJson(result.response, JsonFormOf(form));
  }
  return answer;
}

bool BuildCallRequest(const Options& options, QuonValueSet& request, std::string* error) {
  size_t next = 0;
  if (options.json) {
    Json json = Json::parse(*options.json, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
      *error = "--json needs a JSON object";
      return false;
    }
    if (!JsonToTree(json, request, error)) return false;
  }
  // The command name comes first unless --json gave it and only arguments follow.
  if (!options.args.empty() && options.args[0].find('=') == std::string::npos) {
    request.SetStringValue("Cmd", Utf8ToUtf16(options.args[0]));
    next = 1;
  }
  for (size_t i = next; i < options.args.size(); ++i) {
    if (!AddTypedArgument(request, options.args[i], error)) return false;
  }
  if (!request.Contains("Cmd")) {
    *error = "the request has no \"Cmd\"";
    return false;
  }
  return true;
}

int RunCall(const Options& options, PluginSession& session, LineWriter& out) {
  QuonValueSet request;
  std::string error;
  if (!BuildCallRequest(options, request, &error)) {
    std::cerr << "orbhost: " << error << "\n";
    return 2;
  }
  CallResult result;
  session.Call(request, &result);
  if (options.form == OutputForm::kDump && result.replyValid) {
    out.WriteLine("status: " + StatusText(result.status) + "\n" + DumpText(result.response));
  } else {
    out.WriteLine(AnswerJson(result, options.form)
                      .dump(options.pretty ? 2 : -1, ' ', false, Json::error_handler_t::replace));
  }
  if (options.waitMs) Sleep(options.waitMs);
  return result.status == S_OK ? 0 : 1;
}

int RunShell(const Options& options, PluginSession& session, LineWriter& out) {
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    Json json = Json::parse(line, nullptr, false);
    QuonValueSet request;
    std::string error;
    if (json.is_discarded() || !json.is_object()) {
      out.WriteJson(Json{{"error", "a request line must be one JSON object"}});
      continue;
    }
    if (!JsonToTree(json, request, &error)) {
      out.WriteJson(Json{{"error", error}});
      continue;
    }
    CallResult result;
    session.Call(request, &result);
    out.WriteJson(AnswerJson(result, options.form));
  }
  return 0;
}

}  // namespace orbhost
