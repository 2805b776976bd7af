// Registry reading and tree deletion (Win32-only).
#include "support/registry_utils.h"

#include <cwchar>

#include "support/win32.h"
#include "support/win32_handles.h"

std::wstring RegGetStringValue(const std::wstring& subKey, const std::wstring& valueName) {
  wchar_t buffer[1024] = {};
  DWORD bytes = sizeof buffer;
  LSTATUS status = RegGetValueW(HKEY_LOCAL_MACHINE, subKey.c_str(), valueName.c_str(),
                                RRF_RT_REG_SZ, nullptr, buffer, &bytes);
  if (status != ERROR_SUCCESS) return {};
  return buffer;
}

bool RegDeleteTreeRecursive(wchar_t* path) {
  if (RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path, KEY_WOW64_32KEY, 0) == ERROR_SUCCESS) return true;

  unique_hkey key;
  LSTATUS status =
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | KEY_WOW64_32KEY, key.put());
  if (status == ERROR_FILE_NOT_FOUND) return true;
  if (status != ERROR_SUCCESS) return false;

  // The key has subkeys: delete them one by one, always enumerating index 0
  // since each deletion shifts the rest down. Each name goes after a
  // backslash at the end of the path.
  size_t length = std::wcslen(path);
  if (length == 0 || path[length - 1] != L'\\') {
    if (length + 1 >= kRegDeletePathChars) return false;
    path[length++] = L'\\';
    path[length] = L'\0';
  }
  wchar_t name[MAX_PATH];
  for (;;) {
    DWORD nameChars = MAX_PATH;
    if (RegEnumKeyExW(key.get(), 0, name, &nameChars, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    if (length + nameChars >= kRegDeletePathChars) break;
    std::wmemcpy(path + length, name, nameChars + 1);
    if (!RegDeleteTreeRecursive(path)) break;
  }
  path[length - 1] = L'\0';  // drops the separator (and the subkey name after it)
  key.reset();

  return RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path, KEY_WOW64_32KEY, 0) == ERROR_SUCCESS;
}
