// orbhost: the reference host of Pelorus.dll. Loads the plug-in as the host
// service does and drives it from the command line: call, shell, event, tour.
#include "support/win32.h"

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "command_line.h"
#include "framing.h"
#include "host_callbacks.h"
#include "host_events.h"
#include "machine_profile.h"
#include "output.h"
#include "plugin_loader.h"
#include "requests.h"
#include "router.h"
#include "serve.h"
#include "stand_ins.h"
#include "tour.h"
#include "utf.h"

namespace orbhost {
namespace {

std::wstring Wide(const std::string& text) {
  return AsWide(Utf8ToUtf16(text).c_str());
}

// The path made absolute (as it is when that fails).
std::wstring FullPath(const std::wstring& given) {
  const DWORD n = GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
  if (n == 0) return given;
  std::wstring full(n, L'\0');
  const DWORD written = GetFullPathNameW(given.c_str(), n, full.data(), nullptr);
  full.resize(written);
  return full;
}

// Pelorus.dll beside orbhost.exe, or the given path made absolute.
std::wstring LibraryPath(const Options& options) {
  if (options.dllPath.empty()) {
    std::wstring exe(MAX_PATH, L'\0');
    for (;;) {
      const DWORD n = GetModuleFileNameW(nullptr, exe.data(), static_cast<DWORD>(exe.size()));
      if (n < exe.size()) {
        exe.resize(n);
        break;
      }
      exe.resize(exe.size() * 2);
    }
    return exe.substr(0, exe.find_last_of(L"\\/") + 1) + L"Pelorus.dll";
  }
  return FullPath(Wide(options.dllPath));
}

// The installer's clean-up: called without a plug-in object; each progress
// line is printed as it arrives.
LineWriter* g_uninstallOut = nullptr;

void STDAPICALLTYPE PrintUninstallProgress(const OrbWChar* line) {
  if (g_uninstallOut != nullptr && line != nullptr) {
    g_uninstallOut->WriteLine("uninstall: " + Utf16ToUtf8(AsU16Text(line)));
  }
}

int RunUninstall(const PluginLibrary& library, LineWriter& out) {
  auto onUninstall = reinterpret_cast<PFN_OnUninstall>(library.ExportNamed("OnUninstall"));
  if (onUninstall == nullptr) {
    std::cerr << "orbhost: the library does not export OnUninstall\n";
    return 3;
  }
  g_uninstallOut = &out;
  const int32_t result = onUninstall(&PrintUninstallProgress);
  g_uninstallOut = nullptr;
  out.WriteLine("OnUninstall returned " + std::to_string(result));
  return result == 1 ? 0 : 1;
}

// The tour's log when no --log names one: orbhost-tour.log in the temporary
// folder, started afresh by every tour.
std::wstring DefaultTourLog() {
  wchar_t folder[MAX_PATH + 1] = {};
  const DWORD n = GetTempPathW(MAX_PATH + 1, folder);
  return std::wstring(n > 0 && n <= MAX_PATH ? folder : L".\\") + L"orbhost-tour.log";
}

int Run(const Options& options) {
  // Host log lines go to the --log file, or to standard error ("--log -",
  // and the default of call, shell and event). The tour's default is a file,
  // so its report stays clean; serve keeps its log in a file of bounded size,
  // by default beside its token.
  const bool serving = options.mode == Mode::kServe;
  std::wstring logPath;  // empty: standard error
  if (options.logFile != "-") {
    logPath = !options.logFile.empty()      ? Wide(options.logFile)
              : options.mode == Mode::kTour ? DefaultTourLog()
              : serving                     ? PelorusDataFile(L"serve.log")
                                            : std::wstring();
  }
  CrtFile logFile;
  if (!logPath.empty()) {
    // A named file is appended to; the tour's default log starts afresh.
    const bool fresh = options.logFile.empty() && options.mode == Mode::kTour;
    logFile.reset(_wfopen(logPath.c_str(), fresh ? L"wb" : L"ab"));
    if (!logFile) {
      std::cerr << "orbhost: cannot open the log file " << Utf16ToUtf8(AsU16Text(logPath.c_str()))
                << "\n";
      return 2;
    }
  }
  // Before anything of the plug-in runs: its prints must not reach our JSON
  // or the report. They go to standard error, or in the tour to its log.
  LineWriter out(DivertStandardOutput(options.mode == Mode::kTour ? logFile.get() : nullptr));
  constexpr long kServeLogBytes = 1 << 20;
  LogSink log(options.logLevel, std::move(logFile), serving ? logPath : std::wstring(),
              serving ? kServeLogBytes : 0);

  MachineProfile profile;
  if (options.profilePath.empty()) {
    profile = DefaultMachineProfile();
  } else {
    std::string error;
    if (!LoadMachineProfile(Wide(options.profilePath), &profile, &error)) {
      std::cerr << "orbhost: " << error << "\n";
      return 2;
    }
  }

  std::string error;
  const std::wstring path = LibraryPath(options);
  std::unique_ptr<PluginLibrary> library = PluginLibrary::Open(path, &error);
  if (!library) {
    std::cerr << "orbhost: " << error << "\n";
    return 3;
  }

  if (options.mode == Mode::kUninstall) return RunUninstall(*library, out);

  const JsonForm form = options.form == OutputForm::kTyped ? JsonForm::kTyped : JsonForm::kPlain;
  JsonLineEvents jsonEvents(out, form);
  TourEvents tourEvents(out);
  EventSink& events =
      options.mode == Mode::kTour ? static_cast<EventSink&>(tourEvents) : jsonEvents;

  MessageRouter router;
  ConsoleStandIn console(profile, events);
  FrameworkStandIn framework(profile, events, console, router);
  DatabaseStandIn database(
      profile, events, log,
      options.uploadDir.empty() ? DefaultUploadFolder() : FullPath(Wide(options.uploadDir)));
  router.Register(GUID_OrbFramework, &framework);
  router.Register(GUID_OrbDatabasePlugin, &database);
  std::vector<std::unique_ptr<FixedStandIn>> peers;
  for (auto& [id, answer] : profile.Peers()) {
    peers.push_back(std::make_unique<FixedStandIn>(std::move(answer)));
    router.Register(id, peers.back().get());
  }
  SharedDataStore data;
  HostServices services{&log, &events, &router, &data};

  if (serving) return RunServe(options, *library, &services, router, profile.units(), logPath);

  PluginSession session(*library, options.userSession ? 1 : 0, &services);
  if (!session.valid()) {
    std::cerr << "orbhost: QueryLibrary returned no plug-in object\n";
    return 3;
  }
  router.SetPlugin(session.plugin(), session.id());

  const HRESULT initialized = session.Initialize();
  if (initialized != S_OK && options.mode != Mode::kTour) {
    std::cerr << "orbhost: Initialize returned " << StatusText(initialized)
              << (initialized == 1 ? ": a start-up check failed (is the signed system-information "
                                     "library installed?)"
                                   : "")
              << (options.strictInit ? "; stopping (--strict-init)" : "; going on") << "\n";
  }
  if (initialized != S_OK && options.strictInit) return 4;

  int code = 0;
  switch (options.mode) {
    case Mode::kCall:
      code = RunCall(options, session, out);
      break;
    case Mode::kShell:
      code = RunShell(options, session, out);
      break;
    case Mode::kEvent:
      code = RunEvent(options, session, out);
      break;
    case Mode::kTour:
      code = RunTour(TourContext{options, *library, session, initialized, out,
                                 Utf16ToUtf8(AsU16Text(logPath.c_str()))});
      break;
    case Mode::kHelp:
    case Mode::kUninstall:
    case Mode::kServe:
      break;
  }
  const ULONG remaining = session.Shutdown();
  if (remaining != 0) {
    std::cerr << "orbhost: the plug-in object still has " << remaining
              << " references after the last Release\n";
  }
  return code;
}

}  // namespace
}  // namespace orbhost

int wmain(int argc, wchar_t** argv) {
  using namespace orbhost;
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(Utf16ToUtf8(AsU16Text(argv[i])));
  const ParseResult parsed = ParseCommandLine(args);
  if (!parsed.ok) {
    std::cerr << "orbhost: " << parsed.error << " (orbhost help shows the usage)\n";
    return 2;
  }
  if (parsed.options.mode == Mode::kHelp) {
    std::cout << UsageText();
    return 0;
  }
  try {
    return Run(parsed.options);
  } catch (const std::exception& e) {
    std::cerr << "orbhost: " << e.what() << "\n";
    return 2;
  }
}
