// A stranger's cpuidsdk64.dll: its start-up code writes the file named by
// PELORUS_PLANTED_MARKER, so a test sees whether anything ever loaded it.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    wchar_t marker[MAX_PATH] = {};
    DWORD n = GetEnvironmentVariableW(L"PELORUS_PLANTED_MARKER", marker, MAX_PATH);
    if (n > 0 && n < MAX_PATH) {
      HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
      if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }
  }
  return TRUE;
}

extern "C" __declspec(dllexport) void* QueryInterface(unsigned) {
  return nullptr;
}
