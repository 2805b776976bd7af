// Stand-in for the platform's userenv.dll under Wine (Win32-only).
//
// Wine 8's GetAllUsersProfileDirectoryW is a stub that fails, so a program
// that keeps files under the all-users profile could not find it. This DLL
// answers from the ALLUSERSPROFILE environment variable instead (read at
// call time, so a test can point it elsewhere) and also provides the
// environment-block pair that programs started from a service need.
//
// It is loaded only by the programs that name it in a per-application Wine
// DLL override ("native,builtin"), from the folder of the program; Wine's
// own services.exe keeps the builtin userenv.
#include "support/win32.h"

#include <cstring>
#include <cwchar>

namespace {

constexpr wchar_t kAllUsersVariable[] = L"ALLUSERSPROFILE";

// Length of an environment block in characters, both final NULs included.
size_t BlockLength(const wchar_t* block) {
  const wchar_t* p = block;
  while (*p != L'\0') p += std::wcslen(p) + 1;
  return static_cast<size_t>(p - block) + 1;
}

}  // namespace

// The all-users profile folder, with the size-query rule: when the buffer is
// missing or too small, *size receives the characters needed (terminator
// included) and the call fails with ERROR_INSUFFICIENT_BUFFER. On success
// *size holds the characters written, terminator included.
extern "C" BOOL WINAPI GetAllUsersProfileDirectoryW(LPWSTR profileDir, LPDWORD size) {
  if (size == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const DWORD needed = GetEnvironmentVariableW(kAllUsersVariable, nullptr, 0);
  if (needed == 0) return FALSE;  // ERROR_ENVVAR_NOT_FOUND from the lookup
  if (profileDir == nullptr || *size < needed) {
    *size = needed;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  const DWORD length = GetEnvironmentVariableW(kAllUsersVariable, profileDir, *size);
  if (length == 0) return FALSE;
  if (length >= *size) {
    // The variable grew between the two lookups; length is what it needs now.
    *size = length;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  *size = length + 1;
  return TRUE;
}

// A copy of the calling process's environment block, whatever the token: on
// the Wine machine every program runs as the one user. The block lives on
// the process heap until DestroyEnvironmentBlock.
extern "C" BOOL WINAPI CreateEnvironmentBlock(LPVOID* environment, HANDLE /*token*/,
                                              BOOL /*inherit*/) {
  if (environment == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *environment = nullptr;
  wchar_t* current = GetEnvironmentStringsW();
  if (current == nullptr) return FALSE;
  const size_t bytes = BlockLength(current) * sizeof(wchar_t);
  void* copy = HeapAlloc(GetProcessHeap(), 0, bytes);
  if (copy != nullptr) std::memcpy(copy, current, bytes);
  FreeEnvironmentStringsW(current);
  if (copy == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  *environment = copy;
  return TRUE;
}

extern "C" BOOL WINAPI DestroyEnvironmentBlock(LPVOID environment) {
  if (environment == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return HeapFree(GetProcessHeap(), 0, environment);
}
