// The stand-in console plug-in, reached through "Query.AppService": answers
// "GetUWPVersion" and "ShowMyToast" (and any other command the machine
// profile lists) for the target "ConsolePlugin".
#include "stand_ins.h"
#include "utf.h"

namespace orbhost {

HRESULT ConsoleStandIn::Handle(const OrbMessageHeader&, const QuonValueSet& request,
                               QuonValueSet& reply) {
  const std::string target = Utf16ToUtf8(request.GetStringValue("Target"));
  const std::string cmd = Utf16ToUtf8(request.GetStringValue("Cmd"));
  if (target != "ConsolePlugin") return ORB_E_NOT_AVAILABLE;

  const auto* answer = profile_.Find(MachineProfile::Section::kConsole, cmd);
  if (cmd == "ShowMyToast") {
    events_.Emit(Json{{"event", "app-service"},
                      {"cmd", cmd},
                      {"handler", Utf16ToUtf8(request.GetStringValue("HandlerId"))}});
    return answer ? MachineProfile::Apply(*answer, reply) : S_OK;
  }
  if (answer) return MachineProfile::Apply(*answer, reply);
  reply.SetStringValue("Error", std::u16string(u"Unknown Command"));
  return ORB_E_UNKNOWN_COMMAND;
}

}  // namespace orbhost
