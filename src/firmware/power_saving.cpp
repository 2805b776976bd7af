// CPU power saving (Win32-only): vendor items, settings file, the operations
// that apply settings to the firmware, and the resume watcher.
#include "firmware/power_saving.h"

#include <atomic>
#include <cstring>
#include <cwchar>

#include "firmware/bios_item_table.h"
#include "support/diag_log.h"
#include "support/platform_seams.h"
#include "support/win32_handles.h"

namespace {

constexpr wchar_t kIniTail[] = L"\\QUON\\CORVANE KIOSK Lite Service\\Pelorus\\PowerSavingCard.ini";
constexpr wchar_t kCardSection[] = L"Power Saving Card";
constexpr wchar_t kStatusKey[] = L"CpuPowerSavingStatus";
constexpr wchar_t kWndProcSection[] = L"WndProc";
constexpr wchar_t kSuspendKey[] = L"S3_S4";
constexpr wchar_t kWindowClass[] = L"PowerSavingCard";
constexpr uint32_t kAmdFirstItem = 96;
constexpr uint32_t kIntelFirstItem = 128;

std::atomic<uint8_t> g_resumeFlag{0};

std::wstring ReadSetting(const wchar_t* section, const wchar_t* key) {
  wchar_t value[80];
  GetPrivateProfileStringW(section, key, L"", value, 80, GetPowerSavingIniPath().c_str());
  return value;
}

// The setting equals `expected` exactly (case-sensitive).
bool SettingIs(const wchar_t* section, const wchar_t* key, const wchar_t* expected) {
  wchar_t value[80];
  GetPrivateProfileStringW(section, key, L"", value, 80, GetPowerSavingIniPath().c_str());
  return std::wcscmp(value, expected) == 0;
}

void WriteSetting(const wchar_t* section, const wchar_t* key, const wchar_t* value) {
  WritePrivateProfileStringW(section, key, value, GetPowerSavingIniPath().c_str());
}

bool SettingsFileExists() {
  unique_hfile file(CreateFileW(GetPowerSavingIniPath().c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  return static_cast<bool>(file);
}

}  // namespace

bool StartResumeWatcher() {
  unique_handle thread(CreateThread(nullptr, 0, &ThreadFunction, nullptr, 0, nullptr));
  return static_cast<bool>(thread);
}

bool TakeResumeFlag() {
  return g_resumeFlag.exchange(0) != 0;
}

CpuVendor GetCpuVendor() {
  int registers[4] = {};
  Seams().cpuid(registers, 0);
  char vendor[13] = {};
  std::memcpy(vendor, &registers[1], 4);      // EBX
  std::memcpy(vendor + 4, &registers[3], 4);  // EDX
  std::memcpy(vendor + 8, &registers[2], 4);  // ECX
  if (std::strcmp(vendor, "AuthenticAMD") == 0) return CpuVendor::kAmd;
  if (std::strcmp(vendor, "GenuineIntel") == 0) return CpuVendor::kIntel;
  return CpuVendor::kUnknown;
}

uint32_t PowerItemIndex(CpuVendor vendor, PowerItem item) {
  switch (vendor) {
    case CpuVendor::kAmd:
      return kAmdFirstItem + static_cast<uint32_t>(item);
    case CpuVendor::kIntel:
      return kIntelFirstItem + static_cast<uint32_t>(item);
    default:
      return 0;
  }
}

BiosItem* FindPowerItem(PowerItem item) {
  const uint32_t index = PowerItemIndex(GetCpuVendor(), item);
  if (index == 0) return nullptr;
  return BiosItemTable::Instance().FindItem(kPowerItemGroup, index);
}

std::wstring GetPowerSavingIniPath() {
  wchar_t programFiles[1024] = L"";
  const DWORD chars = GetEnvironmentVariableW(L"ProgramFiles", programFiles, 1024);
  if (chars == 0 || chars >= 1024) programFiles[0] = L'\0';
  wchar_t path[1024];
  swprintf(path, 1024, L"%ls%ls", programFiles, kIniTail);
  return path;
}

std::wstring ReadPowerSavingStatus() {
  return ReadSetting(kCardSection, kStatusKey);
}

void WritePowerSavingStatus(const wchar_t* status) {
  WriteSetting(kCardSection, kStatusKey, status);
}

void SWSetCpuPowerSavingStatus(const std::wstring& status) {
  if (status == L"MANUAL") {
    dump_output_time(&SLog, "[SWSetCpuPowerSavingStatus] Current shows Manual Value)");
    return;
  }
  ComInitialization com;
  const bool on = status == L"ON";
  BiosItem* item = FindPowerItem(PowerItem::kStatus);
  if (item == nullptr) {
    dump_output_time(&SLog, "[SWSetCpuPowerSavingStatus] Fail");
    return;
  }
  item->SetValue(on ? 1 : 0);
}

void SetPPTLimitToInitialValue(uint32_t limit) {
  ComInitialization com;
  BiosItem* item = FindPowerItem(PowerItem::kLimit);
  if (item == nullptr) {
    dump_output_time(&SLog, "[SetPPTLimitToInitialValue] Fail");
    return;
  }
  item->SetValue(limit);
}

void checkPptPsFlagFromBIOS() {
  ComInitialization com;
  BiosItem* item = FindPowerItem(PowerItem::kFirmwareFlag);
  uint32_t value = 0;
  if (item == nullptr || !item->GetValue(&value)) {
    dump_output_time(&SLog, "[checkPptPsFlagFromBIOS] Fail");
  } else if (value != 0) {
    dump_output_time(&SLog, "[checkPptPsFlagFromBIOS] Default/Auto");
  } else {
    dump_output_time(&SLog, "[checkPptPsFlagFromBIOS] Manual");
    WritePowerSavingStatus(L"MANUAL");
  }
}

// The watcher: a hidden window that hears the suspend broadcast, and a loop
// that re-applies the stored status once the next message after it returns.
// A broadcast sent to the window is handled inside GetMessageW, so the loop
// itself acts only when some later message comes back from it.
DWORD WINAPI ThreadFunction(LPVOID) {
  try {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass{};
    windowClass.style = CS_HREDRAW;
    windowClass.lpfnWndProc = &WndProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = reinterpret_cast<HICON>(LoadCursorW(nullptr, IDC_ARROW));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH));
    windowClass.lpszClassName = kWindowClass;
    RegisterClassW(&windowClass);  // a later watcher finds the class registered
    HWND window = CreateWindowExW(0, kWindowClass, L"PSC", WS_OVERLAPPEDWINDOW, 100, 100, 300, 300,
                                  nullptr, nullptr, instance, nullptr);
    if (window != nullptr) ShowWindow(window, SW_HIDE);

    if (!SettingsFileExists()) {
      WriteSetting(kCardSection, kStatusKey, L"OFF");
      WriteSetting(kWndProcSection, kSuspendKey, L"FALSE");
    }
    checkPptPsFlagFromBIOS();

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
      if (SettingIs(kWndProcSection, kSuspendKey, L"TRUE")) {
        dump_output_time(&SLog, "[ThreadFunction] receive S3 / S4 Event");
        SWSetCpuPowerSavingStatus(ReadPowerSavingStatus());
        WriteSetting(kWndProcSection, kSuspendKey, L"FALSE");
      }
    }
  } catch (const std::exception& e) {
    dump_output_time(&SLog, "[ThreadFunction] error = %s", e.what());
  }
  dump_output_time(&SLog, "[ThreadFunction] END ThreadFunction");
  return 0;
}

LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      SetWindowTextA(window, "Power Saving Card.");
      return 1;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
    case WM_POWERBROADCAST:
      if (wParam == PBT_APMSUSPEND) {
        dump_output_time(&SLog, "[WndProc] Receive S3 / S4 Event");
        WriteSetting(kWndProcSection, kSuspendKey, L"TRUE");
        g_resumeFlag = 1;
      }
      return DefWindowProcW(window, message, wParam, lParam);
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}
