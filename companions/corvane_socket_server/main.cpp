// CorvaneSocketServer.exe: stand-in for the device SDK's socket server. See
// README.md.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "stop_event.h"

namespace {

// Set by "-stop" (or by a test) to end the running server.
constexpr wchar_t kStopEvent[] = L"Local\\CorvaneSocketServer.Stop";

int Run() {
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, kStopEvent);
  if (stop == nullptr) {
    std::fwprintf(stderr, L"CorvaneSocketServer: CreateEvent failed (error %lu)\n", GetLastError());
    return 1;
  }
  std::wprintf(L"CorvaneSocketServer: running (pid %lu)\n", GetCurrentProcessId());
  std::fflush(stdout);
  WaitForSingleObject(stop, INFINITE);
  CloseHandle(stop);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // The verb is the last argument: started by an unquoted path with blanks,
  // the program's path splits into several arguments before it.
  if (argc >= 2 && std::wcscmp(argv[argc - 1], L"-run") == 0) return Run();
  if (argc >= 2 && std::wcscmp(argv[argc - 1], L"-stop") == 0)
    return SignalStopEvent(kStopEvent, L"CorvaneSocketServer");
  std::fwprintf(stderr, L"usage: CorvaneSocketServer.exe -run | -stop\n");
  return 2;
}
