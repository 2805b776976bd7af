// Runs orbhost.exe as a person or a script would (Win32-only): a child
// process with its own pipes for standard input, output and error
// (wintest::RunProcess).
#pragma once

#include "support/win32.h"

#include <string>
#include <vector>

#include "value_json.h"

namespace orbhost::test {

struct RunResult {
  DWORD exitCode = 0xFFFFFFFF;
  std::string out;  // standard output, as written
  std::string err;  // standard error
  // Standard output's lines, each parsed as JSON (a line that is not JSON fails the test).
  std::vector<Json> JsonLines() const;
  // The answer line ({"status": ...}); fails the test when there is not exactly one.
  Json Answer() const;
  // The lines whose "event" is the given kind.
  std::vector<Json> Events(const std::string& kind) const;
};

struct RunOptions {
  std::string input;                      // written to standard input, which is then closed
  std::vector<std::wstring> environment;  // extra NAME=value entries
  DWORD timeoutMs = 60000;
};

// Runs orbhost.exe (found relative to the test) with the arguments.
RunResult RunOrbhost(const std::vector<std::wstring>& args, const RunOptions& options = {});

std::wstring OrbhostPath();
std::wstring PelorusPath();  // empty when the build has no Pelorus.dll

}  // namespace orbhost::test
