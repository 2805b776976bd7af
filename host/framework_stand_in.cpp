// The stand-in framework: answers system queries from the machine profile,
// passes "Query.AppService" to the console, reports toasts and lighting
// forwards, and unwraps "SendRequest" to deliver the inner request.
#include <cstring>

#include "framing.h"
#include "router.h"
#include "stand_ins.h"
#include "utf.h"

namespace orbhost {
namespace {

constexpr std::string_view kQueryPrefix = "Query.";
constexpr std::string_view kNotifyPrefix = "Notify.";

std::string Text(const QuonValueSet& set, std::string_view key) {
  return Utf16ToUtf8(set.GetStringValue(key));
}

}  // namespace

HRESULT FrameworkStandIn::Handle(const OrbMessageHeader& header, const QuonValueSet& request,
                                 QuonValueSet& reply) {
  const std::string cmd = Text(request, "Cmd");
  const QuonValueSet empty;
  const QuonValueSet* inner = request.GetChild("Request");
  if (!inner) inner = &empty;

  if (cmd.rfind(kQueryPrefix, 0) == 0) {
    const std::string name = cmd.substr(kQueryPrefix.size());
    if (name == "AppService") return console_.Handle(header, *inner, reply);
    if (const auto* answer = profile_.Find(MachineProfile::Section::kQuery, name))
      return MachineProfile::Apply(*answer, reply);
    return ORB_E_NOT_AVAILABLE;
  }
  if (cmd == "Toast") {
    events_.Emit(Json{{"event", "toast"},
                      {"title", Text(*inner, "ToastTitle")},
                      {"content", Text(*inner, "ToastContent")},
                      {"logo", Text(*inner, "ToastLogo")}});
    return S_OK;
  }
  if (cmd == "SendRequest") return Unwrap(header, *inner, reply);

  const auto* answer = profile_.Find(MachineProfile::Section::kFramework, cmd);
  if (cmd.rfind(kNotifyPrefix, 0) == 0) {
    // Forwards of host notifications: reported, and acknowledged.
    events_.Emit(Json{
        {"event", "framework"}, {"cmd", cmd}, {"request", TreeToJson(request, events_.Form())}});
    return answer ? MachineProfile::Apply(*answer, reply) : S_OK;
  }
  if (answer) return MachineProfile::Apply(*answer, reply);
  reply.SetStringValue("Error", std::u16string(u"Unknown Command"));
  return ORB_E_UNKNOWN_COMMAND;
}

// "Request" holds "PID" (the 16 bytes of the target identifier),
// "Destination" (the endpoint) and "Request" (the request to deliver).
HRESULT FrameworkStandIn::Unwrap(const OrbMessageHeader& header, const QuonValueSet& wrapper,
                                 QuonValueSet& reply) {
  uint32_t size = 0;
  const uint8_t* pid = wrapper.GetBinary("PID", &size);
  const QuonValueSet* inner = wrapper.GetChild("Request");
  if (!pid || size != sizeof(GUID) || !inner) {
    reply.SetStringValue("Error", std::u16string(u"Malformed SendRequest"));
    return E_INVALIDARG;
  }
  GUID target;
  std::memcpy(&target, pid, sizeof target);
  const uint32_t destination = wrapper.GetUIntValue("Destination");
  // orbhost holds one instance of each plug-in, so any endpoint reaches it.
  const OrbMessageHeader forwarded =
      MakeHeader(kOrbMessageRequest, header.source, static_cast<uint8_t>(destination), target);
  return router_.Deliver(forwarded, *inner, reply);
}

}  // namespace orbhost
