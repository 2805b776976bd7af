// QuonFanControlService.exe: the maker's fan-control service, as far as the
// plug-in relies on it. Started by the service control manager, it reports
// itself running and stays so until it is stopped; it controls no fans.
//
//   QuonFanControlService.exe                run as the service (SCM only)
//   QuonFanControlService.exe /UnregServer   stop the service if it runs,
//                                            remove it from the SCM, exit 0
//
// The exit code of a successful /UnregServer can be chosen with the
// environment variable QUONFAN_UNREGSERVER_EXIT_CODE (a decimal number), so
// tests can see how a caller treats a non-zero code. A failed unregistration
// exits 1; a start outside the SCM exits 2.
#include <windows.h>

#include <cwchar>
#include <cwctype>
#include <string>

namespace {

constexpr wchar_t kServiceName[] = L"QuonFanControlService";
constexpr wchar_t kExitCodeVariable[] = L"QUONFAN_UNREGSERVER_EXIT_CODE";
constexpr DWORD kStopWaitMs = 15000;

SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
HANDLE g_stopEvent = nullptr;

void SetState(DWORD state, DWORD waitHintMs = 0) {
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  status.dwWaitHint = waitHintMs;
  SetServiceStatus(g_statusHandle, &status);
}

DWORD WINAPI ControlHandler(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      SetState(SERVICE_STOP_PENDING, 5000);
      SetEvent(g_stopEvent);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  g_statusHandle = RegisterServiceCtrlHandlerExW(kServiceName, ControlHandler, nullptr);
  if (g_statusHandle == nullptr) return;
  SetState(SERVICE_START_PENDING, 3000);
  g_stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (g_stopEvent == nullptr) {
    SetState(SERVICE_STOPPED);
    return;
  }
  SetState(SERVICE_RUNNING);
  WaitForSingleObject(g_stopEvent, INFINITE);
  CloseHandle(g_stopEvent);
  SetState(SERVICE_STOPPED);
}

// The exit code of a successful unregistration: 0 unless configured.
DWORD SuccessExitCode() {
  wchar_t text[32] = {};
  DWORD chars = GetEnvironmentVariableW(kExitCodeVariable, text, 32);
  if (chars == 0 || chars >= 32) return 0;
  wchar_t* end = nullptr;
  unsigned long value = std::wcstoul(text, &end, 10);
  return end != text && *end == L'\0' ? static_cast<DWORD>(value) : 0;
}

int Fail(const wchar_t* what) {
  std::fwprintf(stderr, L"QuonFanControlService: %ls failed (error %lu)\n", what, GetLastError());
  return 1;
}

// Waits until the service reports it has stopped, or the time runs out.
bool WaitStopped(SC_HANDLE service) {
  for (DWORD waited = 0; waited < kStopWaitMs; waited += 100) {
    SERVICE_STATUS status = {};
    if (!QueryServiceStatus(service, &status)) return false;
    if (status.dwCurrentState == SERVICE_STOPPED) return true;
    Sleep(100);
  }
  return false;
}

int Unregister() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return Fail(L"OpenSCManager");
  SC_HANDLE service =
      OpenServiceW(manager, kServiceName, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS);
  if (service == nullptr) {
    int code = Fail(L"OpenService");
    CloseServiceHandle(manager);
    return code;
  }
  SERVICE_STATUS status = {};
  if (ControlService(service, SERVICE_CONTROL_STOP, &status) && !WaitStopped(service)) {
    std::fwprintf(stderr, L"QuonFanControlService: the service did not stop in time\n");
  }
  bool deleted = DeleteService(service) != FALSE;
  int code = deleted ? 0 : Fail(L"DeleteService");
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  if (!deleted) return code;
  DWORD exitCode = SuccessExitCode();
  std::wprintf(L"QuonFanControlService: service removed (exit code %lu)\n", exitCode);
  return static_cast<int>(exitCode);
}

bool IsOption(const wchar_t* arg, const wchar_t* option) {
  return (arg[0] == L'/' || arg[0] == L'-') && _wcsicmp(arg + 1, option) == 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 2 && IsOption(argv[1], L"UnregServer")) return Unregister();
  if (argc >= 2) {
    std::fwprintf(stderr, L"usage: QuonFanControlService.exe [/UnregServer]\n");
    return 2;
  }
  static SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(kServiceName), ServiceMain},
                                         {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) {
    if (GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
      std::fwprintf(stderr,
                    L"QuonFanControlService: runs under the service control manager "
                    L"(sc start QuonFanControlService); /UnregServer removes it\n");
      return 2;
    }
    return Fail(L"StartServiceCtrlDispatcher");
  }
  return 0;
}
