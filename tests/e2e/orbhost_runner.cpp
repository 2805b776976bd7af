// Runs orbhost.exe in a child process with pipes (Win32-only).
#include "support/win32.h"

#include "orbhost_runner.h"

#include <gtest/gtest.h>

#include <thread>

#include "support/win32_handles.h"
#include "test_support.h"

namespace orbhost::test {
namespace {

// Quotes one argument so that the C runtime's parser gives it back unchanged.
std::wstring Quote(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring quoted = L"\"";
  for (size_t i = 0;; ++i) {
    size_t backslashes = 0;
    while (i < arg.size() && arg[i] == L'\\') ++i, ++backslashes;
    if (i == arg.size()) {
      quoted.append(backslashes * 2, L'\\');
      break;
    }
    if (arg[i] == L'"') {
      quoted.append(backslashes * 2 + 1, L'\\');
    } else {
      quoted.append(backslashes, L'\\');
    }
    quoted += arg[i];
  }
  return quoted + L"\"";
}

std::wstring FullPath(const std::wstring& path) {
  wchar_t full[MAX_PATH];
  const DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
  return n > 0 && n < MAX_PATH ? std::wstring(full, n) : path;
}

void Drain(HANDLE pipe, std::string* out) {
  char chunk[4096];
  DWORD n = 0;
  while (ReadFile(pipe, chunk, sizeof chunk, &n, nullptr) && n > 0) out->append(chunk, n);
}

// The current environment block with extra entries (which win).
std::vector<wchar_t> Environment(const std::vector<std::wstring>& extra) {
  std::vector<wchar_t> block;
  if (wchar_t* env = GetEnvironmentStringsW()) {
    for (const wchar_t* p = env; *p; p += wcslen(p) + 1) {
      const std::wstring entry(p);
      bool replaced = false;
      for (const auto& e : extra)
        replaced = replaced || _wcsnicmp(entry.c_str(), e.c_str(), e.find(L'=') + 1) == 0;
      if (!replaced) block.insert(block.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
    }
    FreeEnvironmentStringsW(env);
  }
  for (const auto& e : extra) block.insert(block.end(), e.c_str(), e.c_str() + e.size() + 1);
  block.push_back(L'\0');
  return block;
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
  RunResult result;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE raw[6] = {};
  if (!CreatePipe(&raw[0], &raw[1], &inherit, 0) || !CreatePipe(&raw[2], &raw[3], &inherit, 0) ||
      !CreatePipe(&raw[4], &raw[5], &inherit, 0)) {
    ADD_FAILURE() << "CreatePipe failed: " << GetLastError();
    return result;
  }
  unique_handle inRead(raw[0]), inWrite(raw[1]), outRead(raw[2]), outWrite(raw[3]), errRead(raw[4]),
      errWrite(raw[5]);
  // Our ends are not inherited.
  SetHandleInformation(inWrite.get(), HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(outRead.get(), HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(errRead.get(), HANDLE_FLAG_INHERIT, 0);

  const std::wstring exe = OrbhostPath();
  std::wstring commandLine = Quote(exe);
  for (const auto& arg : args) commandLine += L" " + Quote(arg);
  std::vector<wchar_t> environment = Environment(options.environment);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inRead.get();
  startup.hStdOutput = outWrite.get();
  startup.hStdError = errWrite.get();
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                      CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, environment.data(), nullptr,
                      &startup, &process)) {
    ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
    return result;
  }
  unique_handle processHandle(process.hProcess), thread(process.hThread);
  inRead.reset();
  outWrite.reset();
  errWrite.reset();

  std::thread outReader(Drain, outRead.get(), &result.out);
  std::thread errReader(Drain, errRead.get(), &result.err);
  DWORD written = 0;
  if (!options.input.empty())
    WriteFile(inWrite.get(), options.input.data(), static_cast<DWORD>(options.input.size()),
              &written, nullptr);
  inWrite.reset();

  if (WaitForSingleObject(processHandle.get(), options.timeoutMs) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "orbhost did not end within " << options.timeoutMs << " ms";
    TerminateProcess(processHandle.get(), 99);
    WaitForSingleObject(processHandle.get(), INFINITE);
  }
  outReader.join();
  errReader.join();
  GetExitCodeProcess(processHandle.get(), &result.exitCode);
  return result;
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
