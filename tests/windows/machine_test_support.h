// Helpers of the utility and uninstall tests under Wine: scratch folders,
// the companion files built beside the test, the diagnostic log's debugger
// lines, scratch registry keys and the fan-control service's state.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "scratch_folder.h"
#include "support/diag_log.h"
#include "support/platform_seams.h"
#include "support/process_utils.h"
#include "support/win32.h"
#include "support/win32_handles.h"

namespace machine_test {

// A companion or helper program that the build placed in the machine_files
// folder beside the test executable.
inline std::filesystem::path BuiltFile(const wchar_t* name) {
  wchar_t path[MAX_PATH];
  DWORD chars = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::filesystem::path(std::wstring(path, chars)).parent_path() / L"machine_files" / name;
}

using ::ScratchFolder;

// Collects the diagnostic log's lines while it lives: the log writes to the
// debugger only (mode 1), through the platform seams. The code under test
// logs on the test's own thread.
class LogCapture {
 public:
  LogCapture()
      : m_narrow(&PlatformSeams::outputDebugStringA, &Narrow),
        m_wide(&PlatformSeams::outputDebugString, &Wide),
        m_savedMode(SLog.m_nMode.exchange(1)) {
    Lines().clear();
  }
  ~LogCapture() { SLog.m_nMode = m_savedMode; }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // The messages so far, without time stamps and line ends.
  const std::vector<std::string>& Messages() const { return Lines(); }
  bool Contains(const std::string& message) const {
    return std::find(Lines().begin(), Lines().end(), message) != Lines().end();
  }
  bool ContainsPrefix(const std::string& prefix) const {
    return std::any_of(Lines().begin(), Lines().end(),
                       [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
  }

 private:
  static std::vector<std::string>& Lines() {
    static std::vector<std::string> lines;
    return lines;
  }
  // "YYYY-MM-DD hh:mm:ss message\r\n" (time-stamped) or "message\r\n".
  static void Add(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.size() > 20 && line[4] == '-' && line[10] == ' ' && line[13] == ':' &&
        line[19] == ' ') {
      line.erase(0, 20);
    }
    Lines().push_back(std::move(line));
  }
  static void WINAPI Narrow(LPCSTR text) { Add(text); }
  static void WINAPI Wide(LPCWSTR text) {  // ASCII is enough for these tests
    std::string narrow;
    for (const wchar_t* p = text; *p != 0; ++p) narrow += *p < 128 ? static_cast<char>(*p) : '?';
    Add(std::move(narrow));
  }

  ScopedSeam<decltype(PlatformSeams::outputDebugStringA)> m_narrow;
  ScopedSeam<decltype(PlatformSeams::outputDebugString)> m_wide;
  int32_t m_savedMode;
};

// --- Registry ------------------------------------------------------------------------

// Writes a REG_SZ value, creating the key (view: 0, KEY_WOW64_32KEY or KEY_WOW64_64KEY).
inline void SetString(const std::wstring& key, const wchar_t* name, const std::wstring& value,
                      REGSAM view = 0) {
  unique_hkey handle;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view,
                            nullptr, handle.put(), nullptr),
            ERROR_SUCCESS)
      << "creating HKLM\\" << std::string(key.begin(), key.end());
  ASSERT_EQ(
      RegSetValueExW(handle.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))),
      ERROR_SUCCESS);
}

// Reads a string value; empty when it cannot be read.
inline std::wstring GetString(const std::wstring& key, const wchar_t* name, REGSAM view = 0) {
  unique_hkey handle;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE | view, handle.put()) !=
      ERROR_SUCCESS) {
    return {};
  }
  wchar_t value[1024] = {};
  DWORD bytes = sizeof value - sizeof(wchar_t);
  if (RegQueryValueExW(handle.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(value),
                       &bytes) != ERROR_SUCCESS) {
    return {};
  }
  return value;
}

// Writes a REG_DWORD value, creating the key.
inline void SetDword(const std::wstring& key, const wchar_t* name, DWORD value, REGSAM view = 0) {
  unique_hkey handle;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view,
                            nullptr, handle.put(), nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExW(handle.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                           sizeof value),
            ERROR_SUCCESS);
}

// Reads a REG_DWORD value; -1 when it is absent or of another type.
inline int64_t GetDword(const std::wstring& key, const wchar_t* name, REGSAM view = 0) {
  unique_hkey handle;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE | view, handle.put()) !=
      ERROR_SUCCESS) {
    return -1;
  }
  DWORD value = 0;
  DWORD bytes = sizeof value;
  DWORD type = 0;
  if (RegQueryValueExW(handle.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value),
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

// Removes HKLM\key and its subtree in one view; an absent key is fine.
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

// --- The fan-control service ------------------------------------------------------------

inline constexpr wchar_t kFanService[] = L"QuonFanControlService";

// The service's current state; 0 when it does not exist.
inline DWORD ServiceState(const wchar_t* name = kFanService) {
  unique_schandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  unique_schandle service(OpenServiceW(manager.get(), name, SERVICE_QUERY_STATUS));
  SERVICE_STATUS status = {};
  if (!service || !QueryServiceStatus(service.get(), &status)) return 0;
  return status.dwCurrentState;
}
inline bool ServiceExists(const wchar_t* name = kFanService) {
  return ServiceState(name) != 0;
}

// Waits up to 15 s for the service to reach `state`.
inline bool WaitServiceState(DWORD state, const wchar_t* name = kFanService) {
  for (int i = 0; i < 150; ++i) {
    if (ServiceState(name) == state) return true;
    Sleep(100);
  }
  return false;
}

// Installs the service for `executable` and, if asked, starts it.
inline void InstallFanService(const std::filesystem::path& executable, bool start) {
  unique_schandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  ASSERT_TRUE(manager);
  std::wstring command = L"\"" + executable.wstring() + L"\"";
  unique_schandle service(
      CreateServiceW(manager.get(), kFanService, kFanService, SERVICE_ALL_ACCESS,
                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                     command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  ASSERT_TRUE(service) << "CreateService error " << GetLastError();
  if (start) {
    ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr))
        << "StartService error " << GetLastError();
    ASSERT_TRUE(WaitServiceState(SERVICE_RUNNING));
  }
}

// Stops the service if it runs and deletes it; nothing when it is absent.
inline void RemoveService(const wchar_t* name = kFanService) {
  unique_schandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  unique_schandle service(
      OpenServiceW(manager.get(), name, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
  if (!service) return;
  SERVICE_STATUS status = {};
  if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
    WaitServiceState(SERVICE_STOPPED, name);
  }
  DeleteService(service.get());
  service.reset();
  // Deletion completes once the last handle is closed and the process ended.
  for (int i = 0; i < 150 && ServiceExists(name); ++i) Sleep(100);
}

// Sets an environment variable of this process for the object's lifetime
// (children started meanwhile inherit it).
class ScopedEnvironment {
 public:
  ScopedEnvironment(const wchar_t* name, const std::wstring& value) : m_name(name) {
    wchar_t saved[32768];
    DWORD chars = GetEnvironmentVariableW(name, saved, 32768);
    m_had = chars > 0 && chars < 32768;
    if (m_had) m_saved.assign(saved, chars);
    SetEnvironmentVariableW(name, value.c_str());
  }
  ~ScopedEnvironment() { SetEnvironmentVariableW(m_name, m_had ? m_saved.c_str() : nullptr); }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  const wchar_t* m_name;
  bool m_had = false;
  std::wstring m_saved;
};

}  // namespace machine_test

namespace machine_test {

// Waits up to 10 s until no process of that executable name is left.
inline bool WaitNoProcess(const wchar_t* name) {
  for (int i = 0; i < 100; ++i) {
    if (FindProcessIdByName(name) == 0) return true;
    Sleep(100);
  }
  return false;
}

// For tests of the fan-control service and the maker's keys in the 32-bit
// registry view (fixed, machine-wide: their CTest cases hold a RESOURCE_LOCK).
// Removes the service and the keys before and after each case, including
// the parent keys a case created, and gives each case a scratch folder that
// outlives the service's process.
class FanServiceMachineTest : public ::testing::Test {
 protected:
  static constexpr REGSAM k32 = KEY_WOW64_32KEY;
  static constexpr const wchar_t* kFanKey = L"SOFTWARE\\QUON\\QuonFanService";
  static constexpr const wchar_t* kSuiteKey = L"SOFTWARE\\QUON\\TESSERA_II";
  static constexpr const wchar_t* kUpdateClientKey =
      L"SOFTWARE\\QUON\\Update\\Clients\\{7D3F2A10-5C4B-4E21-9A6D-1B2C3D4E5F05}";

  void SetUp() override {
    for (const wchar_t* key : kParents) m_parentExisted.push_back(KeyExists(key, k32));
    Clean();
  }
  void TearDown() override {
    Clean();
    for (size_t i = 0; i < std::size(kParents); ++i) {
      if (!m_parentExisted[i]) {
        RemoveKey(kParents[i], k32);
        break;  // the rest lies below it
      }
    }
  }

  ScratchFolder m_scratch;

 private:
  static constexpr const wchar_t* kParents[] = {L"SOFTWARE\\QUON", L"SOFTWARE\\QUON\\Update",
                                                L"SOFTWARE\\QUON\\Update\\Clients"};
  static void Clean() {
    RemoveService();
    WaitNoProcess(L"QuonFanControlService.exe");
    for (const wchar_t* key : {kFanKey, kSuiteKey, kUpdateClientKey}) RemoveKey(key, k32);
  }
  std::vector<bool> m_parentExisted;
};

}  // namespace machine_test
