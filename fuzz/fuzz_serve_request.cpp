// Fuzzes what orbhost serve parses itself: the first byte picks the input (a
// query string for a GET command, a JSON body for a POST command, a Host
// header, a command path); the rest is the text. Properties: nothing crashes
// or reads out of bounds (ASan, UBSan); a request that builds always carries
// the path's command as its "Cmd" String, so it classifies as that command's
// class; a request that fails to build names its reason.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "serve_request.h"
#include "utf.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckBuilt(bool built, const std::string& error, QuonValueSet& request,
                std::string_view command) {
  using orbhost::CommandClass;
  if (!built) {
    Check(!error.empty());
    return;
  }
  Check(request.GetStringValue("Cmd") == orbhost::Utf8ToUtf16(command));
  const CommandClass c = orbhost::ClassifyRequest(request);
  Check(c != CommandClass::kUnknown);
  Check(c != CommandClass::kReadOnly || command != "DoAiControl");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  static const char* const kCommands[] = {"GetName", "DoAiControl", "SetFanSpeed", "GetType40Info"};
  const std::string_view command = kCommands[(data[0] >> 4) % 4];
  std::string error;
  QuonValueSet request;
  switch (data[0] % 4) {
    case 0: {
      std::vector<orbhost::QueryParameter> parameters;
      if (!orbhost::ParseQuery(text, &parameters, &error)) break;
      Check(parameters.size() <= orbhost::kMaxQueryParameters);
      std::string form;
      const bool built = orbhost::BuildQueryRequest(command, parameters, request, &form, &error);
      CheckBuilt(built, error, request, command);
      break;
    }
    case 1: {
      const bool built = orbhost::BuildJsonRequest(command, text, request, &error);
      CheckBuilt(built, error, request, command);
      break;
    }
    case 2: {
      orbhost::HostRules rules{8080, {"watch.example"}};
      if (orbhost::HostAllowed(text, rules))
        Check(text.size() > 5 && text.substr(text.size() - 5) == ":8080");
      orbhost::OriginAllowed(text, "localhost:8080");
      orbhost::CheckBearer(text, "0123456789abcdef0123456789abcdef");
      break;
    }
    default: {
      std::string decoded;
      if (orbhost::PercentDecode(text, &decoded)) Check(decoded.size() <= text.size());
      break;
    }
  }
  return 0;
}
