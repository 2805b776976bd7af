// Win32-only: delivering host events to the plug-in.
#include "host_events.h"

#include <charconv>
#include <functional>
#include <iostream>

#include "framing.h"
#include "typed_args.h"
#include "utf.h"

namespace orbhost {
namespace {

// GUID_CONSOLE_DISPLAY_STATE, the power setting a display change reports.
constexpr GUID kDisplayStateSetting =
    PELORUS_GUID(0x6FE69556, 0x704A, 0x47A0, 0x8F, 0x24, 0xC2, 0x8D, 0x93, 0x6F, 0xDA, 0x47);

template <typename T>
bool Number(const std::vector<std::string>& args, size_t index, T fallback, T* out) {
  if (index >= args.size()) {
    *out = fallback;
    return true;
  }
  QuonValueSet scratch;  // reuses the integer syntax of typed arguments
  const bool isSigned = std::is_signed_v<T>;
  if (!SetValueFromText(scratch, "n", isSigned ? OrbValueKindInt64 : OrbValueKindUInt64,
                        args[index], nullptr))
    return false;
  if constexpr (std::is_signed_v<T>) {
    const int64_t v = scratch.GetInt64Value("n");
    if (v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max()) return false;
    *out = static_cast<T>(v);
  } else {
    const uint64_t v = scratch.GetUInt64Value("n");
    if (v > std::numeric_limits<T>::max()) return false;
    *out = static_cast<T>(v);
  }
  return true;
}

struct EventCall {
  const std::vector<std::string>& args;  // after the event name
  PluginSession& session;
  std::string error;
  HRESULT status = S_OK;  // for notifications
};

using Deliver = std::function<bool(EventCall&)>;

bool NeedInterface(EventCall& call, const void* pointer, const char* name) {
  if (!pointer) call.error = std::string("the plug-in has no ") + name + " interface";
  return pointer != nullptr;
}

bool AddArguments(EventCall& call, size_t first, QuonValueSet& set) {
  for (size_t i = first; i < call.args.size(); ++i) {
    if (!AddTypedArgument(set, call.args[i], &call.error)) return false;
  }
  return true;
}

const std::map<std::string, Deliver>& Events() {
  static const std::map<std::string, Deliver> events = {
      {"session-change",
       [](EventCall& c) {
         uint32_t code;
         if (c.args.empty() || !Number(c.args, 0, 0u, &code)) return false;
         if (!NeedInterface(c, c.session.events(), "event handler")) return false;
         c.session.events()->OnSessionChange(code);
         return true;
       }},
      {"device-change",
       [](EventCall& c) {
         uint32_t type;
         if (!Number(c.args, 0, 0x8000u, &type)) return false;  // DBT_DEVICEARRIVAL
         if (!NeedInterface(c, c.session.events(), "event handler")) return false;
         c.session.events()->OnDeviceChange(type, nullptr);
         return true;
       }},
      {"power-setting-change",
       [](EventCall& c) {
         GUID setting = kDisplayStateSetting;
         if (!c.args.empty() && !ParseGuid(c.args[0], &setting)) return false;
         if (!NeedInterface(c, c.session.events(), "event handler")) return false;
         const uint32_t data = 1;
         c.session.events()->OnPowerSettingChange(&setting, &data, sizeof data);
         return true;
       }},
      {"windows-message",
       [](EventCall& c) {
         uint32_t message;
         uint64_t wParam;
         int64_t lParam;
         if (c.args.empty() || !Number(c.args, 0, 0u, &message) ||
             !Number(c.args, 1, uint64_t{0}, &wParam) || !Number(c.args, 2, int64_t{0}, &lParam))
           return false;
         if (!NeedInterface(c, c.session.events(), "event handler")) return false;
         c.session.events()->OnWindowsMessage(message, static_cast<uintptr_t>(wParam),
                                              static_cast<intptr_t>(lParam));
         return true;
       }},
      {"uwp-connection-change",
       [](EventCall& c) {
         if (c.args.size() != 1 || (c.args[0] != "true" && c.args[0] != "false")) return false;
         if (!NeedInterface(c, c.session.events(), "event handler")) return false;
         c.session.events()->OnUWPConnectionChange(c.args[0] == "true" ? TRUE : FALSE);
         return true;
       }},
      {"lumen-message",
       [](EventCall& c) {
         if (c.args.empty()) return false;
         OrbLumenMessage message;
         message.action = AsWide(Utf8ToUtf16(c.args[0]).c_str());
         for (size_t i = 1; i < c.args.size(); ++i) {
           const size_t eq = c.args[i].find('=');
           if (eq == std::string::npos || eq == 0) return false;
           message.attributes[c.args[i].substr(0, eq)] =
               AsWide(Utf8ToUtf16(c.args[i].substr(eq + 1)).c_str());
         }
         if (!NeedInterface(c, c.session.lumen(), "lighting event")) return false;
         c.session.lumen()->OnLumenMessage(&message);
         return true;
       }},
      {"rls-message",
       [](EventCall& c) {
         OrbRLSMessage message{};
         if (c.args.size() != 2 || !Number(c.args, 0, 0, &message.code)) return false;
         message.text = AsWide(Utf8ToUtf16(c.args[1]).c_str());
         if (!NeedInterface(c, c.session.rls(), "RLS event")) return false;
         c.session.rls()->OnRLSMessage(&message);
         return true;
       }},
      {"collect-diagnostics",
       [](EventCall& c) {
         if (c.args.size() != 1) return false;
         if (!NeedInterface(c, c.session.diagnostics(), "diagnostics")) return false;
         c.session.diagnostics()->CollectDiagnostics(AsWide(Utf8ToUtf16(c.args[0]).c_str()));
         return true;
       }},
      {"service-message",
       [](EventCall& c) {
         uint32_t id, subCode;
         if (c.args.size() < 2 || !Number(c.args, 0, 0u, &id) || !Number(c.args, 1, 0u, &subCode))
           return false;
         QuonValueSet data;
         if (!AddArguments(c, 2, data)) return false;
         if (!NeedInterface(c, c.session.serviceMessages(), "service message")) return false;
         c.session.serviceMessages()->OnServiceMessage(id, subCode, &data);
         return true;
       }},
      {"suspend",
       [](EventCall& c) {
         if (!c.args.empty()) return false;
         // The plug-in's resume watcher creates its hidden window on its own
         // thread some time after Initialize started it.
         HWND window = nullptr;
         for (int i = 0; i < 100 && window == nullptr; ++i) {
           window = FindWindowW(L"PowerSavingCard", nullptr);
           if (window == nullptr) Sleep(50);
         }
         if (window == nullptr) {
           c.error = "the plug-in has no resume watcher window (class \"PowerSavingCard\")";
           return false;
         }
         SendMessageW(window, WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
         // A sent message is handled inside the watcher's GetMessageW, which
         // does not return for it; the posted one makes its loop come back
         // and re-apply the saved state.
         PostMessageW(window, WM_NULL, 0, 0);
         return true;
       }},
      {"notification",
       [](EventCall& c) {
         size_t first = 0;
         uint32_t source = kOrbEndpointService;
         if (!c.args.empty() && c.args[0].find('=') == std::string::npos) {
           if (!Number(c.args, 0, source, &source) || source > 255) return false;
           first = 1;
         }
         QuonValueSet message;
         if (!AddArguments(c, first, message)) return false;
         c.status = c.session.Notify(static_cast<uint8_t>(source), message);
         return true;
       }},
  };
  return events;
}

}  // namespace

int RunEvent(const Options& options, PluginSession& session, LineWriter& out) {
  const std::string& name = options.args[0];
  const std::vector<std::string> args(options.args.begin() + 1, options.args.end());
  auto it = Events().find(name);
  if (it == Events().end()) {
    std::cerr << "orbhost: unknown event '" << name << "' (orbhost help lists the events)\n";
    return 2;
  }
  EventCall call{args, session, {}, S_OK};
  if (!it->second(call)) {
    if (call.error.empty()) {
      std::cerr << "orbhost: wrong arguments for event '" << name
                << "' (orbhost help shows them)\n";
      return 2;
    }
    std::cerr << "orbhost: " << call.error << "\n";
    return call.error.rfind("the plug-in has no", 0) == 0 ? 1 : 2;
  }
  Json delivered{{"delivered", name}};
  if (name == "notification") delivered["status"] = StatusText(call.status);
  out.WriteJson(delivered);
  if (options.waitMs) Sleep(options.waitMs);
  return 0;
}

}  // namespace orbhost
