// quon_framework.exe: stand-in for the device framework program and its local
// HTTP front end. See README.md.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "stop_event.h"

namespace {

constexpr wchar_t kStopEvent[] = L"Local\\quon_framework.Stop";
constexpr wchar_t kDeviceKey[] = L"SOFTWARE\\WOW6432Node\\QUON\\CorvaneDevice";
constexpr int kDefaultPort = 1042;

int Fail(const wchar_t* what, long error) {
  std::fwprintf(stderr, L"quon_framework: %ls failed (error %ld)\n", what, error);
  return 1;
}

// "HTTPPort" (REG_SZ, decimal) or the default port when it is absent or not
// a port number.
int ConfiguredPort() {
  wchar_t text[64] = {};
  DWORD bytes = sizeof text - sizeof(wchar_t);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kDeviceKey, L"HTTPPort", RRF_RT_REG_SZ, nullptr, text,
                   &bytes) != ERROR_SUCCESS) {
    return kDefaultPort;
  }
  wchar_t* end = nullptr;
  const long port = std::wcstol(text, &end, 10);
  return end != text && port > 0 && port < 65536 ? static_cast<int>(port) : kDefaultPort;
}

// Reads the request head (up to a blank line, 8 KiB or 2 s of silence) and
// answers it; the connection is closed afterwards.
void Answer(SOCKET client) {
  WSAEventSelect(client, nullptr, 0);
  u_long blocking = 0;
  ioctlsocket(client, FIONBIO, &blocking);
  DWORD timeoutMs = 2000;
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs),
             sizeof timeoutMs);
  std::string head;
  char chunk[1024];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 8192) {
    const int got = recv(client, chunk, sizeof chunk, 0);
    if (got <= 0) break;
    head.append(chunk, static_cast<size_t>(got));
  }
  const std::string body = "{\"framework\":\"quon_framework\",\"status\":\"ready\"}";
  const std::string reply =
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
      "Content-Length: " +
      std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  send(client, reply.data(), static_cast<int>(reply.size()), 0);
  shutdown(client, SD_SEND);
  closesocket(client);
}

int Serve() {
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, kStopEvent);
  if (stop == nullptr) return Fail(L"CreateEvent", static_cast<long>(GetLastError()));
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return Fail(L"WSAStartup", 0);
  const int port = ConfiguredPort();
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (listener == INVALID_SOCKET ||
      bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, SOMAXCONN) != 0) {
    return Fail(L"listening on 127.0.0.1", WSAGetLastError());
  }
  WSAEVENT accepted = WSACreateEvent();
  WSAEventSelect(listener, accepted, FD_ACCEPT);
  std::wprintf(L"quon_framework: listening on 127.0.0.1:%d (pid %lu)\n", port,
               GetCurrentProcessId());
  std::fflush(stdout);

  const HANDLE waits[] = {stop, accepted};
  while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
    WSAResetEvent(accepted);
    for (SOCKET client; (client = accept(listener, nullptr, nullptr)) != INVALID_SOCKET;) {
      Answer(client);
    }
  }
  closesocket(listener);
  WSACloseEvent(accepted);
  WSACleanup();
  CloseHandle(stop);
  return 0;
}

}  // namespace

// Started by an unquoted path with blanks, the program's path splits into
// several arguments: only the last argument is the verb, and anything other
// than "-stop" serves.
int wmain(int argc, wchar_t** argv) {
  if (argc >= 2 && std::wcscmp(argv[argc - 1], L"-stop") == 0)
    return SignalStopEvent(kStopEvent, L"quon_framework");
  return Serve();
}
