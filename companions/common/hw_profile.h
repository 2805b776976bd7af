// The hardware profile of the Wine machine, as the hardware stand-ins
// (hmcore_x64.dll, cpuidsdk64.dll, SysInfoProbe.dll) read it (Win32-only,
// header-only).
//
// The profile is an INI file named by the environment variable
// PELORUS_HW_PROFILE, read afresh on every call, so a test points the
// variable at a file of its own (in-process with SetEnvironmentVariableW, or
// in the environment block of a child) and rewrites it between calls. A key
// the file lacks, or a missing file, gives the stand-in's default, which
// reports facts of this machine where Windows has them (processor name,
// firmware strings, memory load, disk usage). Sections and keys: each
// companion's README.md.
#pragma once

#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace hw_profile {

inline std::wstring FilePath() {
  wchar_t path[MAX_PATH] = {};
  DWORD n = GetEnvironmentVariableW(L"PELORUS_HW_PROFILE", path, MAX_PATH);
  return n > 0 && n < MAX_PATH ? std::wstring(path, n) : std::wstring();
}

// True and the value when the profile has the key.
inline bool Find(const wchar_t* section, const wchar_t* key, std::wstring* value) {
  const std::wstring path = FilePath();
  if (path.empty()) return false;
  static constexpr wchar_t kAbsent[] = L"\x01<absent>";
  std::vector<wchar_t> buffer(4096);
  DWORD n = GetPrivateProfileStringW(section, key, kAbsent, buffer.data(),
                                     static_cast<DWORD>(buffer.size()), path.c_str());
  std::wstring text(buffer.data(), n);
  if (text == kAbsent) return false;
  *value = text;
  return true;
}

inline std::wstring String(const wchar_t* section, const wchar_t* key,
                           const std::wstring& fallback) {
  std::wstring value;
  return Find(section, key, &value) ? value : fallback;
}

inline long Integer(const wchar_t* section, const wchar_t* key, long fallback) {
  std::wstring value;
  if (!Find(section, key, &value) || value.empty()) return fallback;
  return std::wcstol(value.c_str(), nullptr, 0);
}

// A REG_SZ value under HKLM; empty when absent.
inline std::wstring MachineRegistryString(const wchar_t* key, const wchar_t* name) {
  wchar_t value[512] = {};
  DWORD bytes = sizeof value - sizeof(wchar_t);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ, nullptr, value, &bytes) !=
      ERROR_SUCCESS) {
    return {};
  }
  return value;
}

inline std::wstring Trimmed(std::wstring text) {
  const size_t first = text.find_first_not_of(L" \t");
  if (first == std::wstring::npos) return {};
  const size_t last = text.find_last_not_of(L" \t");
  return text.substr(first, last - first + 1);
}

// Splits on one separator, keeping empty fields.
inline std::vector<std::wstring> Split(const std::wstring& text, wchar_t separator) {
  std::vector<std::wstring> parts;
  size_t start = 0;
  for (;;) {
    const size_t at = text.find(separator, start);
    parts.push_back(Trimmed(text.substr(start, at == std::wstring::npos ? at : at - start)));
    if (at == std::wstring::npos) break;
    start = at + 1;
  }
  return parts;
}

// ASCII narrowing: the stand-ins' texts are plain ASCII ('?' otherwise).
inline std::string Ascii(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c > 0 && c < 128 ? static_cast<char>(c) : '?';
  return out;
}

// Facts of the machine that the defaults report.
inline std::wstring ProcessorName() {
  std::wstring name = Trimmed(MachineRegistryString(
      L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", L"ProcessorNameString"));
  return name.empty() ? L"Unknown processor" : name;
}

inline std::wstring BiosString(const wchar_t* name, const wchar_t* fallback) {
  std::wstring value = Trimmed(MachineRegistryString(L"HARDWARE\\DESCRIPTION\\System\\BIOS", name));
  return value.empty() ? fallback : value;
}

}  // namespace hw_profile
