// Service setup and the fan-control service check (Win32-only).
#include "support/service_utils.h"

#include "support/win32.h"

#include <shellapi.h>
#include <tlhelp32.h>

#include <cstdlib>
#include <cwchar>
#include <vector>

#include "support/diag_log.h"
#include "support/signature.h"
#include "support/win32_handles.h"

namespace {

constexpr wchar_t kInstallSubfolder[] = L"QUON\\CORVANE KIOSK Lite Service\\Pelorus";
constexpr wchar_t kSetupProgram[] = L"SetupQuonServices.exe";
constexpr wchar_t kFanServiceExe[] = L"QuonFanControlService.exe";

// The full path of `path`; empty when it cannot be formed.
std::wstring FullPath(const std::wstring& path) {
  wchar_t full[MAX_PATH];
  const DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
  return n == 0 || n >= MAX_PATH ? std::wstring() : std::wstring(full, n);
}

// Runs the setup program from `folder` and waits for it; false (logged) when
// it is refused or cannot be started.
bool RunServiceSetup(const wchar_t* folder) {
  // Pinned from the check until the process is created from it.
  PinnedFile pin;
  if (!CheckEmbeddedSignerInInstallDir(kSetupProgram, false, &pin)) {
    dump_errorcode(&SLog, "IsSignature fail");
    return false;
  }
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.lpVerb = L"open";
  info.lpFile = kSetupProgram;
  info.lpDirectory = folder;
  info.nShow = SW_HIDE;
  if (!ShellExecuteExW(&info)) {
    dump_errorcode(&SLog, "ShellExecuteEx fail");
    return false;
  }
  unique_handle process(info.hProcess);
  if (process && !pin.ConfirmProgram(process.get())) {
    TerminateProcess(process.get(), 1);
    dump_output_time(&SLog, "%ls started is not the checked file, stopped", kSetupProgram);
    return false;
  }
  pin.Release();
  if (process) WaitForSingleObject(process.get(), INFINITE);
  return true;
}

// Processes of the fan-control service's executable other than this one. The
// first snapshot entry is skipped: on Windows it is the idle process (under
// Wine it is a real process, skipped all the same). A failed snapshot counts
// none.
int CountFanServiceProcesses() {
  unique_hfile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return 0;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  if (!Process32FirstW(snapshot.get(), &entry)) return 0;
  int count = 0;
  DWORD self = GetCurrentProcessId();
  while (Process32NextW(snapshot.get(), &entry)) {
    if (_wcsicmp(entry.szExeFile, kFanServiceExe) == 0 && entry.th32ProcessID != self) {
      ++count;
      dump_output_time(&SLog, "%ls is running, Process ID = %d", entry.szExeFile,
                       static_cast<int>(entry.th32ProcessID));
    }
  }
  return count;
}

}  // namespace

void CheckServices() {
  dump_output_time(&SLog, "Check Services");

  wchar_t programFiles[MAX_PATH] = {};
  DWORD chars = GetEnvironmentVariableW(L"ProgramFiles", programFiles, MAX_PATH);
  if (chars >= MAX_PATH) programFiles[0] = L'\0';
  wchar_t folder[MAX_PATH];
  wchar_t setupPath[MAX_PATH];
  std::swprintf(folder, MAX_PATH, L"%ls\\%ls", programFiles, kInstallSubfolder);
  std::swprintf(setupPath, MAX_PATH, L"%ls\\%ls", folder, kSetupProgram);

  DWORD attributes = GetFileAttributesW(setupPath);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return;

  if (!RunServiceSetup(folder)) {
    dump_output_time(&SLog, "runCmdinShell SetupQuonServices.exe Fail");
    return;
  }
  dump_output_time(&SLog, "runCmdinShell SetupQuonServices.exe Success");

  if (CountFanServiceProcesses() == 0) {
    dump_output_time(&SLog, "%ls does not exist.", kFanServiceExe);
    std::system("sc start QuonFanControlService");
    dump_output_time(&SLog, "Start QuonFanControlService");
  }
}

bool ServiceProgramIs(SC_HANDLE service, const std::wstring& program) {
  DWORD needed = 0;
  QueryServiceConfigW(service, nullptr, 0, &needed);
  if (needed == 0 || needed > 64 * 1024) return false;
  std::vector<uint8_t> buffer(needed);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!QueryServiceConfigW(service, config, needed, &needed) ||
      config->lpBinaryPathName == nullptr) {
    return false;
  }
  std::wstring image(config->lpBinaryPathName);
  if (!image.empty() && image.front() == L'"') {
    const size_t end = image.find(L'"', 1);
    image = image.substr(1, end == std::wstring::npos ? std::wstring::npos : end - 1);
  } else {
    while (!image.empty() && image.back() == L' ') image.pop_back();
  }
  wchar_t expanded[MAX_PATH];
  const DWORD n = ExpandEnvironmentStringsW(image.c_str(), expanded, MAX_PATH);
  if (n == 0 || n > MAX_PATH) return false;
  const std::wstring configured = FullPath(expanded);
  const std::wstring checked = FullPath(program);
  return !configured.empty() && !checked.empty() &&
         CompareStringOrdinal(configured.c_str(), -1, checked.c_str(), -1, TRUE) == CSTR_EQUAL;
}
