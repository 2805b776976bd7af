// Stand-in for the platform's powrprof.dll under Wine (Win32-only).
//
// Wine 8's PowerGetActiveScheme and PowerSetActiveScheme are not
// implemented (they fail with ERROR_CALL_NOT_IMPLEMENTED), so a program that
// reports or switches the power plan could not be run there. This DLL keeps
// the active scheme where Windows keeps it: the value "ActivePowerScheme"
// (REG_SZ, the scheme GUID in lower case without braces) of
//   HKLM\SYSTEM\CurrentControlSet\Control\Power\User\PowerSchemes
// whose subkeys, one per installed scheme, are named by the same GUID text.
// The Wine machine installs the three standard schemes (powrprof.reg).
//
// It is loaded only by the programs that name it in a per-application Wine
// DLL override ("native,builtin"), from the folder of the program.
#include "support/win32.h"

#include <cwchar>

namespace {

constexpr wchar_t kSchemesKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Power\\User\\PowerSchemes";
constexpr wchar_t kActiveValue[] = L"ActivePowerScheme";
constexpr size_t kGuidChars = 36;

void FormatGuid(const GUID& id, wchar_t (&text)[kGuidChars + 1]) {
  std::swprintf(text, kGuidChars + 1, L"%08lx-%04hx-%04hx-%02x%02x-%02x%02x%02x%02x%02x%02x",
                static_cast<unsigned long>(id.Data1), id.Data2, id.Data3, id.Data4[0], id.Data4[1],
                id.Data4[2], id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
}

int HexDigit(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx", either case, optionally in braces.
bool ParseGuid(const wchar_t* text, GUID* id) {
  size_t length = std::wcslen(text);
  if (length == kGuidChars + 2 && text[0] == L'{' && text[length - 1] == L'}') {
    ++text;
    length -= 2;
  }
  if (length != kGuidChars) return false;
  unsigned char bytes[16];
  size_t n = 0;
  for (size_t i = 0; i < kGuidChars; ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != L'-') return false;
      continue;
    }
    const int high = HexDigit(text[i]);
    const int low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[n++] = static_cast<unsigned char>(high * 16 + low);
    ++i;
  }
  id->Data1 =
      (static_cast<unsigned long>(bytes[0]) << 24) | (bytes[1] << 16) | (bytes[2] << 8) | bytes[3];
  id->Data2 = static_cast<unsigned short>((bytes[4] << 8) | bytes[5]);
  id->Data3 = static_cast<unsigned short>((bytes[6] << 8) | bytes[7]);
  for (int i = 0; i < 8; ++i) id->Data4[i] = bytes[8 + i];
  return true;
}

}  // namespace

// The active scheme, in a GUID the caller releases with LocalFree.
extern "C" DWORD WINAPI PowerGetActiveScheme(HKEY userRootPowerKey, GUID** activePolicyGuid) {
  if (activePolicyGuid == nullptr || userRootPowerKey != nullptr) return ERROR_INVALID_PARAMETER;
  *activePolicyGuid = nullptr;
  wchar_t text[64] = {};
  DWORD bytes = sizeof(text) - sizeof(wchar_t);
  const LSTATUS status = RegGetValueW(HKEY_LOCAL_MACHINE, kSchemesKey, kActiveValue, RRF_RT_REG_SZ,
                                      nullptr, text, &bytes);
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  GUID active;
  if (!ParseGuid(text, &active)) return ERROR_INVALID_DATA;
  auto* copy = static_cast<GUID*>(LocalAlloc(LMEM_FIXED, sizeof(GUID)));
  if (copy == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  *copy = active;
  *activePolicyGuid = copy;
  return ERROR_SUCCESS;
}

// Makes an installed scheme the active one; an unknown scheme changes nothing.
extern "C" DWORD WINAPI PowerSetActiveScheme(HKEY userRootPowerKey, const GUID* schemeGuid) {
  if (schemeGuid == nullptr || userRootPowerKey != nullptr) return ERROR_INVALID_PARAMETER;
  wchar_t text[kGuidChars + 1];
  FormatGuid(*schemeGuid, text);
  HKEY schemes = nullptr;
  LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSchemesKey, 0,
                                 KEY_SET_VALUE | KEY_ENUMERATE_SUB_KEYS, &schemes);
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  HKEY scheme = nullptr;
  status = RegOpenKeyExW(schemes, text, 0, KEY_QUERY_VALUE, &scheme);
  if (status == ERROR_SUCCESS) {
    RegCloseKey(scheme);
    status = RegSetValueExW(schemes, kActiveValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                            static_cast<DWORD>(sizeof(text)));
  }
  RegCloseKey(schemes);
  return static_cast<DWORD>(status);
}
