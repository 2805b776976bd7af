// Machine restart (Win32-only).
#include "support/system_restart.h"

#include "support/platform_seams.h"
#include "support/win32.h"
#include "support/win32_handles.h"

namespace {

constexpr UINT kRestartFlags = EWX_REBOOT | EWX_FORCE;
constexpr DWORD kRestartReason =
    SHTDN_REASON_FLAG_PLANNED | SHTDN_REASON_MAJOR_OPERATINGSYSTEM | SHTDN_REASON_MINOR_UPGRADE;
static_assert(kRestartFlags == 6 && kRestartReason == 0x80020003u);

}  // namespace

bool RebootSystem() {
  unique_handle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put())) {
    return false;
  }
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid);
  AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr);
  // ERROR_NOT_ALL_ASSIGNED when the token lacks the privilege.
  if (GetLastError() != ERROR_SUCCESS) return false;
  return Seams().exitWindowsEx(kRestartFlags, kRestartReason) != FALSE;
}
