// The uninstall clean-up export (Win32-only).
#include "plugin/uninstall.h"

#include <cstring>

#include "plugin/uninstall_paths.h"
#include "support/diag_log.h"
#include "support/process_utils.h"
#include "support/registry_utils.h"
#include "support/win32.h"
#include "support/win32_handles.h"

namespace {

constexpr size_t kValueChars = kUninstallValueBytes / sizeof(wchar_t);
// One character more than a read may fill, so the text is always terminated.
using ValueBuffer = wchar_t[kValueChars + 1];

class Progress {
 public:
  explicit Progress(OrbUninstallProgress callback) : m_callback(callback) {}
  void Report(const wchar_t* line) const {
    if (m_callback != nullptr) m_callback(line);
  }
  // The line to the diagnostic log and to the caller.
  void LogAndReport(const char* logLine, const wchar_t* line) const {
    dump_output_time(&SLog, "%s", logLine);
    Report(line);
  }

 private:
  OrbUninstallProgress m_callback;
};

// Reads the string value `value` of HKLM\`key` (opened for query only) into
// `out`. False when the key or value cannot be read, leaving `out` empty; an
// absent key is normal and not logged.
bool ReadValue(const char16_t* key, const char16_t* value, ValueBuffer& out) {
  std::memset(out, 0, sizeof out);
  unique_hkey handle;
  LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, AsWide(key), 0, KEY_QUERY_VALUE, handle.put());
  if (status != ERROR_SUCCESS) {
    if (status != ERROR_FILE_NOT_FOUND) dump_output_time(&SLog, "RegOpenKeyEx error ");
    return false;
  }
  DWORD bytes = kUninstallValueBytes;
  status = RegQueryValueExW(handle.get(), AsWide(value), nullptr, nullptr,
                            reinterpret_cast<BYTE*>(out), &bytes);
  if (status != ERROR_SUCCESS) {
    dump_output_time(&SLog, "RegQueryValueEx error ");
    std::memset(out, 0, sizeof out);
    return false;
  }
  return true;
}

// Whether the fan-control service is registered with the service manager.
// Failures count as absence.
bool FanServiceInstalled() {
  unique_schandle manager(OpenSCManagerW(nullptr, nullptr, GENERIC_READ));
  if (!manager) {
    dump_output_time(&SLog, "Failed to OpenSCManager(): %d", static_cast<int>(GetLastError()));
    return false;
  }
  dump_output_time(&SLog, "Checking %ls", AsWide(kFanServiceName));
  unique_schandle service(OpenServiceW(manager.get(), AsWide(kFanServiceName), GENERIC_READ));
  if (service) {
    dump_output_time(&SLog, "Opened service.");
    return true;
  }
  DWORD error = GetLastError();
  if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
    dump_output_time(&SLog, "Service does not exist.");
  } else {
    dump_output_time(&SLog, "Failed to OpenService(): %d", static_cast<int>(error));
  }
  return false;
}

// Runs the service's executable with "/UnregServer"; 1 when it was started
// and exited with 0.
int32_t UnregisterFanService(const Progress& progress, const std::wstring& executable) {
  dump_output_time(&SLog, "Start to Uninstall QuonFanControlService");
  DWORD exitCode = 0;
  DWORD result;
  if (RunSignedAndWait(executable.c_str(), L"/UnregServer", &exitCode)) {
    progress.LogAndReport("Launch Uninstall FanCtrlSvc Successfully.",
                          L"Launch Uninstall FanCtrlSvc Successfully.");
    result = exitCode;
  } else {
    progress.LogAndReport("Failed to Uninstall FanCtrlSvc", L"Failed to Uninstall FanCtrlSvc");
    if (exitCode != 0) {
      dump_output_time(&SLog, "End. (exitCode=%lu -> %d)", exitCode, 0);
      progress.Report(L"Uninstall Return False");
      return 0;
    }
    progress.LogAndReport("Set exit to -1.", L"Set exit to -1.");
    result = static_cast<DWORD>(-1);
  }
  int32_t succeeded = result == 0 ? 1 : 0;
  dump_output_time(&SLog, "End. (exitCode=%lu -> %d)", result, succeeded);
  progress.Report(succeeded ? L"Uninstall Return True" : L"Uninstall Return False");
  return succeeded;
}

int32_t Uninstall(const Progress& progress) {
  progress.Report(L"Start OnUninstall");

  wchar_t updateClientKey[kUpdateClientKeyChars] = {};
  std::u16string keyText = UpdateClientKeyPath();
  std::memcpy(updateClientKey, keyText.c_str(), (keyText.size() + 1) * sizeof(char16_t));
  progress.Report(RegDeleteTreeRecursive(updateClientKey) ? L"RegDeleteUpdateClient Success"
                                                          : L"RegDeleteUpdateClient Fail");

  ValueBuffer suiteExe;
  bool suitePresent = ReadValue(kTesseraKey, kTesseraValue, suiteExe);
  ValueBuffer serviceFolder;
  ReadValue(kFanServiceKey, kFanServicePathValue, serviceFolder);
  bool servicePresent = FanServiceInstalled();
  std::wstring serviceExe = ToWide(FanServiceExecutablePath(AsU16Text(serviceFolder)));

  dump_output_time(&SLog, "[OnUninstall] Tessera3 Existed = %d", suitePresent ? 1 : 0);
  progress.Report(suitePresent ? L"Tessera3 Existed == True" : L"Tessera3 Existed == False");
  dump_output_time(&SLog, "[OnUninstall] Tessera3 Path = %ls", suiteExe);
  dump_output_time(&SLog, "[OnUninstall] FanCtrlSvc Existed = %d", servicePresent ? 1 : 0);
  progress.Report(servicePresent ? L"FanCtrlSvc Existed == True" : L"FanCtrlSvc Existed == False");
  dump_output_time(&SLog, "[OnUninstall] FanCtrlSvc Path = %ls", serviceExe.c_str());

  if (!suitePresent && servicePresent) return UnregisterFanService(progress, serviceExe);

  progress.Report(L"Uninstall Return True");
  return 1;
}

}  // namespace

extern "C" int32_t STDAPICALLTYPE OnUninstall(OrbUninstallProgress progress) {
  // Nothing throws across the export; only memory exhaustion could.
  try {
    return Uninstall(Progress(progress));
  } catch (...) {
    return 0;
  }
}
