// hwbridgeComSvc.exe: the HMSP service "hbComSvc". Started by the service
// control manager it reports itself running and stays so until stopped.
#include <windows.h>

#include <cwchar>

namespace {

constexpr wchar_t kServiceName[] = L"hbComSvc";
SERVICE_STATUS_HANDLE g_status = nullptr;
HANDLE g_stop = nullptr;

void SetState(DWORD state) {
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  status.dwWaitHint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : 3000;
  SetServiceStatus(g_status, &status);
}

DWORD WINAPI Control(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
    SetState(SERVICE_STOP_PENDING);
    SetEvent(g_stop);
    return NO_ERROR;
  }
  return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  g_status = RegisterServiceCtrlHandlerExW(kServiceName, Control, nullptr);
  if (g_status == nullptr) return;
  g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (g_stop == nullptr) {
    SetState(SERVICE_STOPPED);
    return;
  }
  SetState(SERVICE_RUNNING);
  WaitForSingleObject(g_stop, INFINITE);
  CloseHandle(g_stop);
  SetState(SERVICE_STOPPED);
}

}  // namespace

int wmain() {
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(kServiceName), ServiceMain},
                                  {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) {
    std::fwprintf(stderr,
                  L"hwbridgeComSvc: the HMSP service \"hbComSvc\"; it is started by the service "
                  L"control manager (sc start hbComSvc)\n");
    return 2;
  }
  return 0;
}
