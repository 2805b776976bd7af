// Win32-only: the tour.
#include "tour.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>

#include "framing.h"
#include "landing_page_view.h"
#include "support/win32.h"
#include "typed_args.h"
#include "utf.h"

namespace orbhost {
namespace {

struct Step {
  const char* command;
  const char* about;
  std::vector<const char*> arguments;  // key[:Kind]=value
};

struct Section {
  const char* title;
  std::vector<Step> steps;
};

const std::vector<Section>& Sections() {
  static const std::vector<Section> sections = {
      {"System identity",
       {
           {"GetName", "the account the plug-in runs as", {}},
           {"QueryInformation", "the system identity, asked of the framework", {}},
       }},
      {"Client application",
       {
           {"GetUWPVersionByAppService", "the client's version, asked through the console", {}},
           {"GetConfigUWPVersion",
            "the client's version from its configuration file",
            {"ConfigInfo.device=Device", "ConfigInfo.foldername=CorvaneKiosk",
             "ConfigInfo.key=UWPVersion"}},
           {"PrivacyPolicyStatus",
            "the client's privacy-policy state, recorded in the host log only",
            {"Agree=true", "Read=true"}},
       }},
      {"Status checks",
       {
           {"CheckCKServiceRestart", "whether the service started since the last question", {}},
           {"CheckSystemResume", "whether the machine slept since the last question", {}},
           {"CheckFrameworkReady", "whether the framework's HTTP port listens", {}},
           {"GetFeatures", "the feature bit the system-information library reported", {}},
           {"GetType40Info", "the whole feature word", {"Type40.Info=features"}},
           {"GetHTMLSupport",
            "whether a device has an HTTP front end",
            {"HTMLInfo.CorvaneHttp=Pelorus"}},
           {"CheckDebugMode",
            "a registry string named by the caller (here the Windows product name)",
            {"DebugMode.DebugPath=SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
             "DebugMode.DebugKey=ProductName"}},
       }},
      {"Landing page",
       {
           {"GetOPLandingPageInfo",
            "hardware-monitor readings (HMSP)",
            {"dllType:Int=0", "dataType=All"}},
           {"GetOPLandingPageInfo", "CPU-Z SDK sensors", {"dllType:Int=1", "dataType=All"}},
           {"GetOPLandingPageInfo", "system information", {"dllType:Int=2"}},
           {"GetOPLandingPageInfo", "mainboard support", {"dllType:Int=3"}},
           {"GetOPLandingPageInfo", "disk and memory usage", {"dllType:Int=4"}},
       }},
      {"CPU power",
       {
           {"GetCpuVendor", "the processor's vendor", {}},
           {"GetCpuFlag", "the power-saving CPU flag of the firmware", {}},
           {"GetPowerSavingInfo", "the power-saving information", {}},
           {"GetPPTLimit", "the package power limit in watts", {}},
           {"GetBiosPPTFlag", "whether the firmware's power limit is manual", {}},
       }},
      {"Power plan",
       {
           {"GetActivePowerPlan", "the active Windows power scheme's GUID", {}},
       }},
      {"Fans",
       {
           {"GetTesseraPluginInfo",
            "the fan-tuning tool the board supports",
            {"MBInfo.command=tour"}},
           {"GetTesseraPluginInfoForDashbaord",
            "the same, as the dashboard names it",
            {"MBInfo.command=tour"}},
           {"DoAiControl",
            "whether the smart-cooling library knows the cooling profile (item 1)",
            {"subCommand=CheckSupport", "itemType:Int=1"}},
           {"DoAiControl",
            "the cooling profile's current value",
            {"subCommand=GetItem", "itemType:Int=1"}},
       }},
      {"Database",
       {
           {"TestSQDBServer",
            "the database plug-in's self-test (answered by orbhost's stand-in)",
            {}},
       }},
  };
  return sections;
}

// Commands that act on the machine or start loops: named, not called.
constexpr const char* kActingCommands[] = {
    "SendTest",
    "RequestAppService",
    "Notify.LumenSyncChange",
    "Notify.LumenMessage",
    "CheckCorvaneSocketServer",
    "SetFanSpeed",
    "DoAiControl (SetItem, Reboot)",
    "DoTesseraReboot",
    "SetPPTLimit",
    "SaveCpuPowerSavingSettings",
    "PowerSavingPPTCtrl",
    "OpenPowerOptionPage",
    "SetPowerStatus",
};

std::string Pad(std::string text, size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

std::string NameOf(IOrbPlugin* plugin,
                   HRESULT (STDMETHODCALLTYPE IOrbLibrary::*get)(OrbWChar*, uint32_t*)) {
  uint32_t count = 0;
  (plugin->*get)(nullptr, &count);  // size query
  if (count == 0 || count > 4096) return "?";
  std::wstring name(count, L'\0');
  if ((plugin->*get)(name.data(), &count) != S_OK) return "?";
  return Utf16ToUtf8(AsU16Text(name.c_str()));
}

void RenderJson(const Json& json, int indent, std::string* out) {
  for (const auto& [key, value] : json.items()) {
    out->append(indent, ' ');
    out->append(key);
    if (value.is_object() && !value.empty()) {
      out->append(":\n");
      RenderJson(value, indent + 2, out);
    } else {
      out->append(": ");
      out->append(value.dump(-1, ' ', false, Json::error_handler_t::replace));
      out->append("\n");
    }
  }
}

bool IsUnknownCommand(const CallResult& result) {
  return result.status == ORB_E_UNKNOWN_COMMAND &&
         result.response.GetStringValue("Error") == u"Unknown Command";
}

}  // namespace

std::string RenderTree(const QuonValueSet& tree, int indent) {
  std::string text;
  RenderJson(TreeToJson(tree, JsonForm::kPlain), indent, &text);
  return text;
}

void TourEvents::Emit(const Json& event) {
  Json details = event;
  const std::string kind = details.value("event", "event");
  details.erase("event");
  out_.WriteLine("      ~ " + kind + " " +
                 details.dump(-1, ' ', false, Json::error_handler_t::replace));
}

int RunTour(const TourContext& c) {
  IOrbPlugin* plugin = c.session.plugin();
  LineWriter& out = c.out;
  OrbVersion version{};
  plugin->GetVersion(&version);
  GUID framework{};
  plugin->GetFrameworkId(&framework);

  out.WriteLine("Pelorus tour");
  out.WriteLine("============");
  out.WriteLine("Library        " + Utf16ToUtf8(AsU16Text(c.library.path().c_str())));
  char text[96];
  std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(c.library.interfaceVersion()));
  out.WriteLine(std::string("Interface      ") + text);
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", version.major, version.minor, version.build,
                version.revision);
  out.WriteLine("Plug-in        " + NameOf(plugin, &IOrbLibrary::GetName) + " (display name \"" +
                NameOf(plugin, &IOrbLibrary::GetDisplayName) + "\"), version " + text);
  out.WriteLine("Identifier     " + GuidText(c.session.id()) + ", framework " +
                GuidText(framework));
  out.WriteLine(std::string("Instance       ") + (c.options.userSession
                                                      ? "user session (QueryLibrary(1)), endpoint 4"
                                                      : "service (QueryLibrary(0)), endpoint 2"));
  std::string init = StatusText(c.initializeStatus);
  init += c.initializeStatus == S_OK
              ? ": ready"
              : ": a start-up check failed (without the signed system-information library the "
                "plug-in refuses its features); it stays usable, the tour goes on";
  out.WriteLine("Initialize     " + init);
  if (auto* deps = c.session.dependencies()) {
    std::string list;
    const uint32_t count = deps->GetDependencyCount();
    const GUID* ids = deps->GetDependencyIds();
    for (uint32_t i = 0; ids && i < count && i < 64; ++i)
      list += (i ? ", " : "") + GuidText(ids[i]);
    out.WriteLine("Depends on     " + (list.empty() ? std::string("nothing") : list));
  }
  std::string interfaces;
  auto add = [&](const void* p, const char* name) {
    interfaces += std::string(interfaces.empty() ? "" : ", ") + name + (p ? "" : " (missing)");
  };
  add(c.session.events(), "events");
  add(c.session.lumen(), "lighting");
  add(c.session.dependencies(), "dependencies");
  add(c.session.rls(), "RLS");
  add(c.session.diagnostics(), "diagnostics");
  add(c.session.serviceMessages(), "service messages");
  out.WriteLine("Interfaces     " + interfaces);

  std::vector<std::string> missing;
  int answered = 0;
  for (const Section& section : Sections()) {
    out.WriteLine("");
    out.WriteLine(section.title);
    out.WriteLine(std::string(std::strlen(section.title), '-'));
    for (const Step& step : section.steps) {
      QuonValueSet request;
      request.SetStringValue("Cmd", Utf8ToUtf16(step.command));
      std::string call = step.command;
      for (const char* argument : step.arguments) {
        AddTypedArgument(request, argument, nullptr);
        const bool blank = std::strchr(argument, ' ') != nullptr;
        call += blank ? std::string(" \"") + argument + "\"" : std::string(" ") + argument;
      }
      out.WriteLine("> " + Pad(step.command, 34) + step.about);
      const auto start = std::chrono::steady_clock::now();
      CallResult result;
      c.session.Call(request, &result);
      fflush(stdout);  // the plug-in's prints land in the log beside its host log lines
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - start)
                          .count();
      if (IsUnknownCommand(result)) {
        out.WriteLine("    not implemented yet");
        if (missing.empty() || missing.back() != step.command) missing.push_back(step.command);
        continue;
      }
      ++answered;
      std::string line = "    status " + StatusText(result.status);
      if (result.status == 1) line += " (the command's back end refused: see the log)";
      out.WriteLine(line + ", " + std::to_string(ms) + " ms   [orbhost call " + call + "]");
      if (!result.replyValid) {
        out.WriteLine("    (the reply is not a valid value tree)");
      } else if (result.response.Empty()) {
        out.WriteLine("    (empty response)");
      } else {
        std::string rendered = std::strcmp(step.command, "GetOPLandingPageInfo") == 0
                                   ? RenderLandingPage(result.response, 4)
                                   : RenderTree(result.response, 4);
        if (!rendered.empty() && rendered.back() == '\n') rendered.pop_back();
        out.WriteLine(rendered);
      }
    }
  }

  // A short run of the notification loop: its first broadcast arrives about
  // three seconds after the start and is printed as an event; the stop waits
  // for the loop to end.
  out.WriteLine("");
  out.WriteLine("Notifications");
  out.WriteLine("-------------");
  for (const char* command : {"StartNotification", "StopNotification"}) {
    QuonValueSet request;
    request.SetStringValue("Cmd", Utf8ToUtf16(command));
    const bool start = std::strcmp(command, "StartNotification") == 0;
    out.WriteLine("> " + Pad(command, 34) +
                  (start ? "starts the loop that broadcasts a count every 3 s"
                         : "stops it and waits for the loop to end"));
    CallResult result;
    c.session.Call(request, &result);
    if (IsUnknownCommand(result)) {
      out.WriteLine("    not implemented yet");
      missing.push_back(command);
      break;
    }
    ++answered;
    out.WriteLine("    status " + StatusText(result.status));
    if (start) Sleep(3500);
  }

  out.WriteLine("");
  out.WriteLine("Summary");
  out.WriteLine("-------");
  out.WriteLine(std::to_string(answered) + " requests answered.");
  std::string list;
  for (const auto& name : missing) list += (list.empty() ? "" : ", ") + name;
  out.WriteLine("Not implemented yet: " + (list.empty() ? std::string("none") : list));
  list.clear();
  for (const char* name : kActingCommands) list += (list.empty() ? "" : ", ") + std::string(name);
  out.WriteLine(
      "Not called by the tour, since they act rather than read (try them with "
      "orbhost call): " +
      list);
  if (!c.logPath.empty()) {
    out.WriteLine("");
    out.WriteLine("Host log and the plug-in's own output: " + c.logPath);
  }
  return 0;
}

}  // namespace orbhost
