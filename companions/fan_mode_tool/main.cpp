// FanModeTool.exe: the maker's fan-mode tool, as far as the plug-in relies on
// it. It takes one fan mode and records it as the machine's current mode.
//
//   FanModeTool.exe --mode N     N: 0 standard, 1 silent, 2 performance,
//                                3 full speed (decimal)
//
// The mode is stored as the REG_DWORD "FanMode" of
// HKLM\SOFTWARE\QUON\QuonFanService in the 32-bit registry view (the key the
// fan-control service keeps its settings under). Exit codes: 0 recorded;
// 1 an unknown mode or a failed registry write; 2 a usage error. The exit
// code of a successful run can be chosen with the environment variable
// FANMODETOOL_EXIT_CODE (a decimal number), so tests can see how a caller
// treats a non-zero code; the mode is recorded all the same.
#include <windows.h>

#include <cerrno>
#include <cwchar>
#include <cstdlib>

namespace {

constexpr wchar_t kSettingsKey[] = L"SOFTWARE\\QUON\\QuonFanService";
constexpr wchar_t kModeValue[] = L"FanMode";
constexpr wchar_t kExitCodeVariable[] = L"FANMODETOOL_EXIT_CODE";
constexpr const wchar_t* kModeNames[] = {L"standard", L"silent", L"performance", L"full speed"};
constexpr long kModeCount = sizeof kModeNames / sizeof kModeNames[0];

int Usage() {
  std::fwprintf(stderr, L"usage: FanModeTool.exe --mode N   (N from 0 to %ld)\n", kModeCount - 1);
  return 2;
}

// A whole decimal number (sign allowed), or false.
bool ParseNumber(const wchar_t* text, long* value) {
  if (text == nullptr || *text == 0) return false;
  wchar_t* end = nullptr;
  errno = 0;
  *value = std::wcstol(text, &end, 10);
  return errno == 0 && end != text && *end == 0;
}

// The exit code of a successful run: 0, or the scripted one.
int SuccessCode() {
  wchar_t text[32];
  DWORD chars = GetEnvironmentVariableW(kExitCodeVariable, text, 32);
  long code = 0;
  if (chars == 0 || chars >= 32 || !ParseNumber(text, &code)) return 0;
  return static_cast<int>(code);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  long mode = -1;
  if (argc != 3 || std::wcscmp(argv[1], L"--mode") != 0 || !ParseNumber(argv[2], &mode)) {
    return Usage();
  }
  if (mode < 0 || mode >= kModeCount) {
    std::fwprintf(stderr, L"FanModeTool: unknown fan mode %ld (0 to %ld)\n", mode, kModeCount - 1);
    return 1;
  }
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0,
                                   KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, &key, nullptr);
  if (status == ERROR_SUCCESS) {
    const DWORD value = static_cast<DWORD>(mode);
    status = RegSetValueExW(key, kModeValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                            sizeof value);
    RegCloseKey(key);
  }
  if (status != ERROR_SUCCESS) {
    std::fwprintf(stderr, L"FanModeTool: recording the fan mode failed (error %ld)\n",
                  static_cast<long>(status));
    return 1;
  }
  std::wprintf(L"FanModeTool: fan mode %ld (%ls)\n", mode, kModeNames[mode]);
  return SuccessCode();
}
