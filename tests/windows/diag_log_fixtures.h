// Shared pieces of the diagnostic-log tests: a scratch folder, whole-file
// reads, splitting a log into lines, and the "EnableLog" registry switch set
// for the duration of a test and restored afterwards.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "scratch_folder.h"
#include "support/win32.h"
#include "support/win32_handles.h"

namespace diaglog_test {

inline constexpr wchar_t kVendorKey[] = L"SOFTWARE\\QUON";
inline constexpr wchar_t kSwitchKey[] = L"SOFTWARE\\QUON\\CORVANE KIOSK Diagnosis";

using ::ScratchFolder;

// The whole file, read while others may still have it open for writing.
inline std::string ReadAll(const std::filesystem::path& path) {
  const unique_hfile file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
  std::string content;
  if (!file) return content;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0) {
    content.append(buffer, got);
  }
  return content;
}

inline void WriteAll(const std::filesystem::path& path, const std::string& content) {
  const unique_hfile file(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  if (file)
    WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
}

// Lines without their CR LF; a trailing piece without CR LF is kept as is,
// so a torn line shows up.
inline std::vector<std::string> SplitLines(const std::string& content) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = content.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(content.substr(start, end - start));
  }
  if (start < content.size()) lines.push_back(content.substr(start));
  return lines;
}

// Sets the switch for one test: no key, a key without the value, or the
// value; whatever was there before comes back afterwards.
class SwitchGuard {
 public:
  enum class State { NoKey, KeyWithoutValue, Value };

  SwitchGuard() {
    unique_hkey vendor;
    m_vendorExisted =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kVendorKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                      vendor.put()) == ERROR_SUCCESS;
    unique_hkey key;
    m_keyExisted = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSwitchKey, 0,
                                 KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put()) == ERROR_SUCCESS;
    DWORD value = 0;
    DWORD size = sizeof value;
    if (m_keyExisted && RegQueryValueExW(key.get(), L"EnableLog", nullptr, nullptr,
                                         reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS) {
      m_savedValue = value;
    }
  }
  ~SwitchGuard() {
    if (!m_keyExisted) {
      Set(State::NoKey);
      // Removed only when this guard's test created it and left it empty.
      if (!m_vendorExisted) RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kVendorKey, KEY_WOW64_64KEY, 0);
    } else if (m_savedValue) {
      Set(State::Value, *m_savedValue);
    } else {
      Set(State::KeyWithoutValue);
    }
  }
  SwitchGuard(const SwitchGuard&) = delete;
  SwitchGuard& operator=(const SwitchGuard&) = delete;

  static void Set(State state, DWORD value = 0) {
    if (state == State::NoKey) {
      RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kSwitchKey, KEY_WOW64_64KEY, 0);
      return;
    }
    unique_hkey key;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSwitchKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                    nullptr, key.put(), nullptr);
    if (state == State::Value) {
      RegSetValueExW(key.get(), L"EnableLog", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                     sizeof value);
    } else {
      RegDeleteValueW(key.get(), L"EnableLog");
    }
  }

 private:
  bool m_vendorExisted = false;
  bool m_keyExisted = false;
  std::optional<DWORD> m_savedValue;
};

}  // namespace diaglog_test
