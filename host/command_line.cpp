// orbhost's command line (portable).
#include "command_line.h"

#include <charconv>

namespace orbhost {
namespace {

bool ParseUInt(const std::string& text, uint32_t* out) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
  return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

std::optional<Mode> ParseMode(const std::string& word) {
  if (word == "call") return Mode::kCall;
  if (word == "shell") return Mode::kShell;
  if (word == "event") return Mode::kEvent;
  if (word == "tour") return Mode::kTour;
  if (word == "uninstall") return Mode::kUninstall;
  if (word == "help") return Mode::kHelp;
  if (word == "serve") return Mode::kServe;
  return std::nullopt;
}

}  // namespace

ParseResult ParseCommandLine(const std::vector<std::string>& argv) {
  ParseResult result;
  Options& o = result.options;
  bool haveMode = false;
  bool optionsEnded = false;
  auto fail = [&](std::string message) {
    result.ok = false;
    result.error = std::move(message);
    return result;
  };

  for (size_t i = 0; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-' || (arg[1] != '-' && arg != "-h")) {
      if (!haveMode) {
        auto mode = ParseMode(arg);
        if (!mode)
          return fail("unknown mode '" + arg +
                      "' (call, shell, event, tour, uninstall, serve, help)");
        o.mode = *mode;
        haveMode = true;
      } else {
        o.args.push_back(arg);
      }
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    std::string name = arg;
    std::optional<std::string> inlineValue;
    if (const size_t eq = arg.find('='); eq != std::string::npos) {
      name = arg.substr(0, eq);
      inlineValue = arg.substr(eq + 1);
    }
    auto value = [&](std::string* out) {
      if (inlineValue) {
        *out = *inlineValue;
        return true;
      }
      if (i + 1 >= argv.size()) return false;
      *out = argv[++i];
      return true;
    };
    auto flag = [&](bool* out) {
      if (inlineValue) return false;
      *out = true;
      return true;
    };
    std::string text;
    bool ok = true;
    if (name == "-h" || name == "--help") {
      o.mode = Mode::kHelp;
      haveMode = true;
    } else if (name == "--dll") {
      ok = value(&o.dllPath) && !o.dllPath.empty();
    } else if (name == "--user-session") {
      ok = flag(&o.userSession);
    } else if (name == "--log") {
      ok = value(&o.logFile) && !o.logFile.empty();
    } else if (name == "--log-level") {
      ok = value(&text) && ParseUInt(text, &o.logLevel);
    } else if (name == "--profile") {
      ok = value(&o.profilePath) && !o.profilePath.empty();
    } else if (name == "--upload-dir") {
      ok = value(&o.uploadDir) && !o.uploadDir.empty();
    } else if (name == "--typed" || name == "--dump") {
      bool set = false;
      ok = flag(&set);
      o.form = name == "--typed" ? OutputForm::kTyped : OutputForm::kDump;
    } else if (name == "--pretty") {
      ok = flag(&o.pretty);
    } else if (name == "--json") {
      ok = value(&text);
      o.json = text;
    } else if (name == "--wait") {
      ok = value(&text) && ParseUInt(text, &o.waitMs);
    } else if (name == "--strict-init") {
      ok = flag(&o.strictInit);
    } else if (name == "--port") {
      uint32_t port = 0;
      ok = value(&text) && ParseUInt(text, &port) && port > 0 && port <= 65535;
      o.port = static_cast<uint16_t>(port);
    } else if (name == "--bind") {
      ok = value(&o.bind) && !o.bind.empty();
    } else if (name == "--allow-host") {
      ok = value(&text) && !text.empty() && text.find_first_of(":/ ") == std::string::npos;
      o.allowHosts.push_back(text);
    } else if (name == "--interval" || name == "--slow-interval") {
      uint32_t* target = name == "--interval" ? &o.interval : &o.slowInterval;
      ok = value(&text) && ParseUInt(text, target) && *target > 0 && *target <= 3600;
    } else if (name == "--stop-after") {
      ok = value(&text) && ParseUInt(text, &o.stopAfter) && o.stopAfter > 0;
    } else if (name == "--token-file") {
      ok = value(&o.tokenFile) && !o.tokenFile.empty();
    } else if (name == "--allow-restart") {
      ok = flag(&o.allowRestart);
    } else if (name == "--allow-remote-actions") {
      ok = flag(&o.allowRemoteActions);
    } else {
      return fail("unknown option '" + name + "'");
    }
    if (!ok) return fail("option '" + name + "' needs a valid value");
  }
  if (!haveMode) o.mode = Mode::kHelp;
  if (o.mode == Mode::kCall && o.args.empty() && !o.json)
    return fail("call needs a command name or --json");
  if (o.mode == Mode::kEvent && o.args.empty()) return fail("event needs an event name");
  if (o.json && o.mode != Mode::kCall) return fail("--json belongs to call");
  if (o.mode == Mode::kServe && !o.args.empty()) return fail("serve takes options only");
  result.ok = true;
  return result;
}

std::string UsageText() {
  return R"(orbhost: the reference host of Pelorus.dll

Usage:
  orbhost call <Command> [key=value | key:Kind=value ...] [options]
  orbhost call --json '{"Cmd": "<Command>", ...}' [key=value ...] [options]
  orbhost shell [options]          one JSON request per line in, one answer per line out
  orbhost event <name> [args]      deliver a host event (the list is below)
  orbhost uninstall [options]      call the installer's clean-up export OnUninstall (no
                                   plug-in object) and print its progress lines
  orbhost tour [options]           a readable report of everything the plug-in can tell
  orbhost serve [options]          the plug-in's readings over HTTP (JSON API, Prometheus
                                   metrics) on 127.0.0.1:9561 until Ctrl-C
  orbhost help

Values are Strings unless a kind follows the key: Bool, Int, Int64, UInt, UInt64,
Double, String, Binary (hex digit pairs). Dotted keys make children:
  orbhost call SendTest uint:UInt=7 uint64:UInt64=9
  orbhost call GetType40Info Type40.Info=features

Options:
  --dll PATH        the plug-in library (default: Pelorus.dll beside orbhost.exe)
  --user-session    create the user-session instance (QueryLibrary(1))
  --typed           lossless JSON: every key carries its kind ("uint:UInt": 7);
                    --json reads it back
  --dump            the value tree's own text dump instead of JSON
  --pretty          indent the JSON answer of call
  --log FILE        host log lines to FILE (appended) instead of standard error; in the
                    tour also what the plug-in prints, which by default goes to
                    %TEMP%\orbhost-tour.log (named at the end); --log - keeps both on
                    standard error
  --log-level N     show host log lines of level N and below (default 4; 6 shows all)
  --profile FILE    machine profile for the stand-ins (default: the built-in one)
  --upload-dir DIR  where the database stand-in's "Upload" copies database files
                    (default: %ProgramData%\Pelorus\orbhost\uploads; the newest 20 kept)
  --wait MS         keep running MS milliseconds after call or event (to see broadcasts)
  --strict-init     stop with exit code 4 when Initialize does not return 0

serve options:
  --port N          listen on port N (default 9561)
  --bind ADDR       listen on ADDR instead of 127.0.0.1 (prints a warning)
  --allow-host NAME also answer requests whose Host header is NAME:port (repeatable)
  --interval S      sample every S seconds (default 2)
  --slow-interval S read the CPU-Z sensors every S seconds (default 10)
  --stop-after S    stop after S seconds (default: run until Ctrl-C)
  --token-file PATH the token of acting commands (default %LOCALAPPDATA%\Pelorus\serve.token)
  --allow-restart   accept the commands that restart the computer
  --allow-remote-actions  accept acting commands from other machines (the token
                    travels in clear text)
  --log FILE        the host log (default %LOCALAPPDATA%\Pelorus\serve.log, rotated at 1 MiB)

Commands act on the machine orbhost runs in (SetFanSpeed runs the fan-mode tool).
DoTesseraReboot and DoAiControl subCommand=Reboot restart the computer: never send them
to the Wine machine, where a restart ends the whole prefix.

Output: JSON lines on standard output: {"status": "0x00000000", "response": {...}}
answers, {"event": ...} lines for broadcasts, toasts and requests to stand-ins.
Exit code: 0 status 0; 1 other status; 2 usage; 3 library not loadable; 4 --strict-init.

Events:
  session-change CODE            device-change [TYPE]         power-setting-change [GUID]
  windows-message MSG [WPARAM [LPARAM]]                       uwp-connection-change true|false
  lumen-message ACTION [name=value ...]                       rls-message CODE TEXT
  collect-diagnostics FOLDER     service-message ID SUBCODE [key[:Kind]=value ...]
  notification [SOURCE] [key[:Kind]=value ...]   (an 0xE4 message; SOURCE 2 or 4, default 2)
  suspend                        (to the resume watcher's window; --wait lets it re-apply)
)";
}

}  // namespace orbhost
