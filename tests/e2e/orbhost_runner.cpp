// Runs orbhost.exe in a child process with pipes (Win32-only).
#include "support/win32.h"

#include "orbhost_runner.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace orbhost::test {
namespace {

std::wstring FullPath(const std::wstring& path) {
  wchar_t full[MAX_PATH];
  const DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
  return n > 0 && n < MAX_PATH ? std::wstring(full, n) : path;
}

}  // namespace

std::wstring OrbhostPath() {
  return FullPath(BesideTest(ORBHOST_E2E_ORBHOST));
}

std::wstring PelorusPath() {
#ifdef ORBHOST_E2E_PELORUS
  return FullPath(BesideTest(ORBHOST_E2E_PELORUS));
#else
  return {};
#endif
}

RunResult RunOrbhost(const std::vector<std::wstring>& args, const RunOptions& options) {
  std::wstring commandLine = wintest::QuoteArgument(OrbhostPath());
  for (const auto& arg : args) commandLine += L" " + wintest::QuoteArgument(arg);
  wintest::ProcessOptions process;
  process.input = options.input;
  process.timeoutMs = options.timeoutMs;
  if (!options.environment.empty())
    process.environment = wintest::EnvironmentBlock(options.environment);
  const wintest::ProcessRun run = wintest::RunProcess(commandLine, process);
  return RunResult{run.exitCode, run.out, run.err};
}

std::vector<Json> RunResult::JsonLines() const {
  std::vector<Json> lines;
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    Json json = Json::parse(line, nullptr, false);
    EXPECT_FALSE(json.is_discarded()) << "not a JSON line: " << line;
    if (!json.is_discarded()) lines.push_back(std::move(json));
  }
  return lines;
}

Json RunResult::Answer() const {
  std::vector<Json> answers;
  for (Json& line : JsonLines()) {
    if (line.contains("status") && !line.contains("event")) answers.push_back(std::move(line));
  }
  EXPECT_EQ(answers.size(), 1u) << out << "\nstderr:\n" << err;
  return answers.empty() ? Json() : answers.front();
}

std::vector<Json> RunResult::Events(const std::string& kind) const {
  std::vector<Json> events;
  for (Json& line : JsonLines()) {
    if (line.value("event", "") == kind) events.push_back(std::move(line));
  }
  return events;
}

}  // namespace orbhost::test
