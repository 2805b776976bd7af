// orbhost's command line: a mode (call, shell, event, tour, help), options
// anywhere on the line ("--name value" or "--name=value"), and the mode's
// positional arguments. Portable; arguments arrive as UTF-8.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orbhost {

enum class Mode { kHelp, kCall, kShell, kEvent, kTour, kUninstall, kServe };
enum class OutputForm { kPlain, kTyped, kDump };

struct Options {
  Mode mode = Mode::kHelp;
  std::string dllPath;       // empty: Pelorus.dll beside orbhost.exe
  bool userSession = false;  // QueryLibrary(1) instead of QueryLibrary(0)
  std::string logFile;       // empty: standard error
  uint32_t logLevel = 4;     // host log lines of this level and below are shown
  std::string profilePath;   // empty: the embedded default machine profile
  std::string uploadDir;     // empty: %ProgramData%\Pelorus\orbhost\uploads
  OutputForm form = OutputForm::kPlain;
  bool pretty = false;              // indent the JSON result of "call"
  std::optional<std::string> json;  // --json request tree
  uint32_t waitMs = 0;              // keep running this long after "call" or "event"
  bool strictInit = false;          // stop when Initialize does not return 0
  std::vector<std::string> args;    // positional arguments after the mode

  // serve
  uint16_t port = 9561;
  std::string bind = "127.0.0.1";
  std::vector<std::string> allowHosts;  // --allow-host, repeatable
  uint32_t interval = 2;                // seconds between sampling rounds
  uint32_t slowInterval = 10;           // seconds between CPU-Z dumps
  uint32_t stopAfter = 0;               // seconds; 0: until Ctrl-C or console close
  std::string tokenFile;                // empty: %LOCALAPPDATA%\Pelorus\serve.token
  bool allowRestart = false;
  bool allowRemoteActions = false;
};

struct ParseResult {
  bool ok = false;
  std::string error;  // set when !ok
  Options options;
};

// argv without the program name.
ParseResult ParseCommandLine(const std::vector<std::string>& argv);

std::string UsageText();

}  // namespace orbhost
