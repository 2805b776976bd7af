// Helpers shared by every Windows test program (Win32-only, header-only,
// needs nothing of the product but its Win32 header and handle types):
//
//   ScratchFolder s;  s.path(), s.Place(file, name[, sub])
//                              a fresh folder under %TEMP%, removed with all in it
//   BesideTest(L"x.exe")       a file in the folder of the running test program
//   ReadAll / WriteAll         whole files (read while others still write them)
//   EnvironmentBlock({L"A=1", L"B"})
//                              this process's environment with A set and B removed
//   ScopedEnvironment          a variable of this process, restored afterwards
//   QuoteArgument(arg)         one command-line argument as the C runtime reads it
//   RunProcess(commandLine, options) -> ProcessRun
//                              a child with pipes: text for standard input,
//                              standard output and error, exit code, a timeout,
//                              and optionally its debugger output (run as its
//                              debugger); the one way tests start programs
//   SetString / GetString / KeyExists / RemoveKey
//                              HKLM string values and subtrees, in a chosen view
//   LogSwitchGuard             the diagnostic log's "EnableLog" switch set for
//                              one test, and restored afterwards
//   ServiceState / WaitServiceState / InstallService / RemoveService
//                              a Windows service of the Wine machine
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/win32.h"
#include "support/win32_handles.h"

namespace wintest {

// --- Files -----------------------------------------------------------------------------

class ScratchFolder {
 public:
  ScratchFolder() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    static int counter = 0;
    m_path = std::filesystem::path(temp) / (L"pelorus-" + std::to_wstring(GetCurrentProcessId()) +
                                            L"-" + std::to_wstring(++counter));
    std::filesystem::remove_all(m_path);
    std::filesystem::create_directories(m_path);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& path() const { return m_path; }
  // Copies `source` into the folder (subfolder `sub` if given) as `name`.
  std::filesystem::path Place(const std::filesystem::path& source, const std::wstring& name,
                              const std::wstring& sub = L"") const {
    std::filesystem::path folder = sub.empty() ? m_path : m_path / sub;
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(source, folder / name,
                               std::filesystem::copy_options::overwrite_existing);
    return folder / name;
  }

 private:
  std::filesystem::path m_path;
};

inline std::filesystem::path BesideTest(const std::wstring& name) {
  wchar_t path[MAX_PATH];
  const DWORD chars = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::filesystem::path(std::wstring(path, chars)).parent_path() / name;
}

inline std::string ReadAll(const std::filesystem::path& path) {
  const unique_hfile file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
  std::string content;
  char buffer[4096];
  DWORD got = 0;
  while (file && ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
    content.append(buffer, got);
  }
  return content;
}

inline void WriteAll(const std::filesystem::path& path, const std::string& content) {
  const unique_hfile file(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  if (file)
    WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
}

// --- Environment and processes ------------------------------------------------------------

// "NAME=value" sets NAME, "NAME" removes it; names compare without case.
inline std::vector<wchar_t> EnvironmentBlock(const std::vector<std::wstring>& changes) {
  auto nameOf = [](const std::wstring& entry) { return entry.substr(0, entry.find(L'=')); };
  std::vector<wchar_t> block;
  wchar_t* current = GetEnvironmentStringsW();
  for (const wchar_t* p = current; *p != L'\0'; p += wcslen(p) + 1) {
    const std::wstring entry(p);
    bool changed = false;
    for (const std::wstring& c : changes)
      changed = changed || _wcsicmp(nameOf(c).c_str(), nameOf(entry).c_str()) == 0;
    if (!changed) block.insert(block.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
  }
  FreeEnvironmentStringsW(current);
  for (const std::wstring& c : changes) {
    if (c.find(L'=') != std::wstring::npos)
      block.insert(block.end(), c.c_str(), c.c_str() + c.size() + 1);
  }
  block.push_back(L'\0');
  return block;
}

class ScopedEnvironment {
 public:
  ScopedEnvironment(const wchar_t* name, const std::wstring& value) : m_name(name) {
    std::vector<wchar_t> saved(32768);
    const DWORD chars = GetEnvironmentVariableW(name, saved.data(), 32768);
    if (chars > 0 && chars < 32768) m_saved.emplace(saved.data(), chars);
    SetEnvironmentVariableW(name, value.c_str());
  }
  ~ScopedEnvironment() { SetEnvironmentVariableW(m_name, m_saved ? m_saved->c_str() : nullptr); }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  const wchar_t* m_name;
  std::optional<std::wstring> m_saved;
};

inline std::wstring QuoteArgument(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring quoted = L"\"";
  for (size_t i = 0;; ++i) {
    size_t backslashes = 0;
    while (i < arg.size() && arg[i] == L'\\') ++i, ++backslashes;
    if (i == arg.size()) {
      quoted.append(backslashes * 2, L'\\');
      break;
    }
    quoted.append(arg[i] == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    quoted += arg[i];
  }
  return quoted + L"\"";
}

struct ProcessRun {
  DWORD exitCode = 0xFFFFFFFF;
  std::string out;                    // standard output (with standard error when merged)
  std::string err;                    // standard error
  std::vector<std::string> debugger;  // OutputDebugString texts, when run as its debugger
};

struct ProcessOptions {
  std::string input;                 // written to standard input, which is then closed
  std::vector<wchar_t> environment;  // a CreateProcessW block; empty: this process's
  DWORD timeoutMs = 60000;           // then the child is ended and the test fails
  bool asDebugger = false;           // collect the child's debugger output
  bool mergeErrors = false;          // standard error into `out`
};

inline ProcessRun RunProcess(std::wstring commandLine, const ProcessOptions& options = {}) {
  ProcessRun run;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE raw[6] = {};
  if (!CreatePipe(&raw[0], &raw[1], &inherit, 0) || !CreatePipe(&raw[2], &raw[3], &inherit, 0) ||
      !CreatePipe(&raw[4], &raw[5], &inherit, 0)) {
    ADD_FAILURE() << "CreatePipe failed: " << GetLastError();
    return run;
  }
  unique_handle inRead(raw[0]), inWrite(raw[1]), outRead(raw[2]), outWrite(raw[3]), errRead(raw[4]),
      errWrite(raw[5]);
  for (HANDLE ours : {inWrite.get(), outRead.get(), errRead.get()})
    SetHandleInformation(ours, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inRead.get();
  startup.hStdOutput = outWrite.get();
  startup.hStdError = options.mergeErrors ? outWrite.get() : errWrite.get();
  PROCESS_INFORMATION process{};
  const DWORD flags = CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW |
                      (options.asDebugger ? DEBUG_ONLY_THIS_PROCESS : 0);
  void* environment =
      options.environment.empty() ? nullptr : const_cast<wchar_t*>(options.environment.data());
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, flags, environment,
                      nullptr, &startup, &process)) {
    ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
    return run;
  }
  const unique_handle child(process.hProcess), thread(process.hThread);
  inRead.reset();
  outWrite.reset();
  errWrite.reset();
  // Reads until every writer has closed the pipe, or until the child has
  // ended and the pipe is empty: a process the child started can inherit its
  // output (under Wine, the desktop process and COM servers its first window
  // or COM call starts) and keep the pipe open long after the child is gone.
  auto drain = [&child](HANDLE pipe, std::string* out) {
    char chunk[4096];
    for (;;) {
      DWORD available = 0, n = 0;
      if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) break;
      if (available == 0) {
        if (WaitForSingleObject(child.get(), 10) != WAIT_OBJECT_0) continue;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) || available == 0) break;
      }
      const DWORD want = available < sizeof chunk ? available : DWORD{sizeof chunk};
      if (!ReadFile(pipe, chunk, want, &n, nullptr) || n == 0) break;
      out->append(chunk, n);
    }
  };
  std::thread outReader(drain, outRead.get(), &run.out);
  std::thread errReader(drain, errRead.get(), &run.err);
  DWORD written = 0;
  if (!options.input.empty())
    WriteFile(inWrite.get(), options.input.data(), static_cast<DWORD>(options.input.size()),
              &written, nullptr);
  inWrite.reset();

  bool ended = true;
  if (options.asDebugger) {
    // The debugger's loop runs on the thread that started the child.
    for (bool done = false; !done;) {
      DEBUG_EVENT event;
      if (!WaitForDebugEvent(&event, options.timeoutMs)) {
        ended = false;
        break;
      }
      DWORD status = DBG_CONTINUE;
      if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT && event.u.CreateProcessInfo.hFile)
        CloseHandle(event.u.CreateProcessInfo.hFile);
      if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT && event.u.LoadDll.hFile)
        CloseHandle(event.u.LoadDll.hFile);
      if (event.dwDebugEventCode == OUTPUT_DEBUG_STRING_EVENT) {
        const OUTPUT_DEBUG_STRING_INFO& info = event.u.DebugString;
        const size_t unit = info.fUnicode ? 2 : 1;
        std::vector<char> bytes(info.nDebugStringLength * unit);
        ReadProcessMemory(child.get(), info.lpDebugStringData, bytes.data(), bytes.size(), nullptr);
        std::string text;
        for (size_t i = 0; i < bytes.size() && bytes[i] != '\0'; i += unit) text += bytes[i];
        run.debugger.push_back(text);
      }
      if (event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT &&
          event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
        status = DBG_EXCEPTION_NOT_HANDLED;
      done = event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT;
      ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    }
  }
  if (!ended || WaitForSingleObject(child.get(), options.timeoutMs) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "the child did not end within " << options.timeoutMs << " ms";
    TerminateProcess(child.get(), 99);
    WaitForSingleObject(child.get(), INFINITE);
  }
  outReader.join();
  errReader.join();
  GetExitCodeProcess(child.get(), &run.exitCode);
  return run;
}

// --- Registry ------------------------------------------------------------------------------
// HKLM keys; view: 0, KEY_WOW64_32KEY or KEY_WOW64_64KEY.

// Creates the key when it is missing.
inline void SetRegistryValue(const std::wstring& key, const wchar_t* name, DWORD type,
                             const void* data, DWORD bytes, REGSAM view) {
  unique_hkey handle;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view,
                            nullptr, handle.put(), nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(handle.get(), name, 0, type, static_cast<const BYTE*>(data), bytes),
            ERROR_SUCCESS);
}

inline void SetString(const std::wstring& key, const wchar_t* name, const std::wstring& value,
                      REGSAM view = 0) {
  SetRegistryValue(key, name, REG_SZ, value.c_str(),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)), view);
}

// Empty when it cannot be read.
inline std::wstring GetString(const std::wstring& key, const wchar_t* name, REGSAM view = 0) {
  unique_hkey handle;
  wchar_t value[1024] = {};
  DWORD bytes = sizeof value - sizeof(wchar_t);
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE | view, handle.put()) !=
          ERROR_SUCCESS ||
      RegQueryValueExW(handle.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(value),
                       &bytes) != ERROR_SUCCESS) {
    return {};
  }
  return value;
}

inline void SetDword(const std::wstring& key, const wchar_t* name, DWORD value, REGSAM view = 0) {
  SetRegistryValue(key, name, REG_DWORD, &value, sizeof value, view);
}

// -1 when the value is absent or not a REG_DWORD.
inline int64_t GetDword(const std::wstring& key, const wchar_t* name, REGSAM view = 0) {
  unique_hkey handle;
  DWORD value = 0, bytes = sizeof value, type = 0;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE | view, handle.put()) !=
          ERROR_SUCCESS ||
      RegQueryValueExW(handle.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value),
                       &bytes) != ERROR_SUCCESS ||
      type != REG_DWORD) {
    return -1;
  }
  return value;
}

inline bool KeyExists(const std::wstring& key, REGSAM view = 0) {
  unique_hkey handle;
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | view, handle.put()) ==
         ERROR_SUCCESS;
}

// An absent key is fine.
inline void RemoveKey(const std::wstring& key, REGSAM view = 0) {
  unique_hkey handle;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_ALL_ACCESS | view, handle.put()) !=
      ERROR_SUCCESS) {
    return;
  }
  RegDeleteTreeW(handle.get(), nullptr);
  handle.reset();
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), view, 0);
}

// Sets "EnableLog" under HKLM "SOFTWARE\QUON\CORVANE KIOSK Diagnosis" (64-bit
// view): no key, a key without the value, or the value. What was there comes
// back when the guard ends (a vendor key the test created goes again).
class LogSwitchGuard {
 public:
  enum class State { NoKey, KeyWithoutValue, Value };
  static constexpr wchar_t kVendorKey[] = L"SOFTWARE\\QUON";
  static constexpr wchar_t kKey[] = L"SOFTWARE\\QUON\\CORVANE KIOSK Diagnosis";

  LogSwitchGuard() {
    m_vendorExisted = KeyExists(kVendorKey, KEY_WOW64_64KEY);
    m_keyExisted = KeyExists(kKey, KEY_WOW64_64KEY);
    const int64_t value = GetDword(kKey, L"EnableLog", KEY_WOW64_64KEY);
    if (value >= 0) m_saved = static_cast<DWORD>(value);
  }
  ~LogSwitchGuard() {
    if (!m_keyExisted) {
      Set(State::NoKey);
      if (!m_vendorExisted) RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kVendorKey, KEY_WOW64_64KEY, 0);
    } else {
      Set(m_saved ? State::Value : State::KeyWithoutValue, m_saved.value_or(0));
    }
  }
  LogSwitchGuard(const LogSwitchGuard&) = delete;
  LogSwitchGuard& operator=(const LogSwitchGuard&) = delete;

  static void Set(State state, DWORD value = 0) {
    if (state == State::NoKey) {
      RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kKey, KEY_WOW64_64KEY, 0);
    } else if (state == State::Value) {
      SetDword(kKey, L"EnableLog", value, KEY_WOW64_64KEY);
    } else {
      unique_hkey key;
      RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                      nullptr, key.put(), nullptr);
      RegDeleteValueW(key.get(), L"EnableLog");
    }
  }

 private:
  bool m_vendorExisted = false;
  bool m_keyExisted = false;
  std::optional<DWORD> m_saved;
};

// --- Services ------------------------------------------------------------------------------

// 0 when the service does not exist.
inline DWORD ServiceState(const wchar_t* name) {
  unique_schandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  unique_schandle service(OpenServiceW(manager.get(), name, SERVICE_QUERY_STATUS));
  SERVICE_STATUS status = {};
  if (!service || !QueryServiceStatus(service.get(), &status)) return 0;
  return status.dwCurrentState;
}

// Waits up to 15 s.
inline bool WaitServiceState(const wchar_t* name, DWORD state) {
  for (int i = 0; i < 150; ++i) {
    if (ServiceState(name) == state) return true;
    Sleep(100);
  }
  return false;
}

inline void InstallService(const wchar_t* name, const std::filesystem::path& executable,
                           bool start) {
  unique_schandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  ASSERT_TRUE(manager);
  const std::wstring command = L"\"" + executable.wstring() + L"\"";
  unique_schandle service(CreateServiceW(manager.get(), name, name, SERVICE_ALL_ACCESS,
                                         SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                         SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                         nullptr, nullptr, nullptr));
  ASSERT_TRUE(service) << "CreateService error " << GetLastError();
  if (start) {
    ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr))
        << "StartService error " << GetLastError();
    ASSERT_TRUE(WaitServiceState(name, SERVICE_RUNNING));
  }
}

// Stops and deletes the service; nothing when it is absent.
inline void RemoveService(const wchar_t* name) {
  unique_schandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  unique_schandle service(
      OpenServiceW(manager.get(), name, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
  if (!service) return;
  SERVICE_STATUS status = {};
  if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status))
    WaitServiceState(name, SERVICE_STOPPED);
  DeleteService(service.get());
  service.reset();
  // Deletion completes once the last handle is closed and the process ended.
  for (int i = 0; i < 150 && ServiceState(name) != 0; ++i) Sleep(100);
}

}  // namespace wintest
