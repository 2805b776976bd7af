// CPU power saving (Win32-only): the vendor's firmware items, the settings
// file "PowerSavingCard.ini", and the resume watcher that re-applies the
// saved power-saving state after a suspend.
//
// The start-up checks start the watcher; the resume-status command reads
// and clears the resume flag.
#pragma once

#include <cstdint>
#include <string>

#include "support/win32.h"

// Starts the resume watcher thread (ThreadFunction); its handle is not kept.
// Each call starts one more watcher. False when the thread cannot be created.
bool StartResumeWatcher();

// Whether a suspend was reported since the previous call; clears the flag.
bool TakeResumeFlag();

// --- The parts of the power-saving feature, for its commands and tests ---

enum class CpuVendor { kAmd, kIntel, kUnknown };
// From CPUID leaf 0 ("AuthenticAMD", "GenuineIntel", anything else).
CpuVendor GetCpuVendor();

// The power-saving items of group 11; their index depends on the vendor.
enum class PowerItem : uint32_t {
  kStatus = 0,        // SetValue 1 on / 0 off; attribute bit 30 is the CPU flag
  kLimit = 1,         // the package power limit in whole watts
  kInformation = 2,   // power-saving information, in tenths
  kFirmwareFlag = 3,  // 0: the firmware's setting is manual
};
constexpr uint32_t kPowerItemGroup = 11;
// The item's index for the vendor; 0 (no item) for an unknown vendor.
uint32_t PowerItemIndex(CpuVendor vendor, PowerItem item);

// The item for this machine's vendor from the process's item table, or null.
// The caller has initialised COM.
template <class CharT>
class BasicBiosItem;
BasicBiosItem<wchar_t>* FindPowerItem(PowerItem item);

// "%ProgramFiles%\QUON\CORVANE KIOSK Lite Service\Pelorus\PowerSavingCard.ini".
std::wstring GetPowerSavingIniPath();
// The settings: "CpuPowerSavingStatus" in "Power Saving Card", "S3_S4" in
// "WndProc". Reads answer "" when the value is missing.
std::wstring ReadPowerSavingStatus();
void WritePowerSavingStatus(const wchar_t* status);

// Applies a stored status to the firmware: "ON" writes 1, "MANUAL" nothing,
// anything else 0.
void SWSetCpuPowerSavingStatus(const std::wstring& status);
// Writes the limit into the power-limit item.
void SetPPTLimitToInitialValue(uint32_t limit);
// Stores "MANUAL" when the firmware's PPT/power-saving flag reads 0.
void checkPptPsFlagFromBIOS();

// The watcher's thread procedure and window procedure.
DWORD WINAPI ThreadFunction(LPVOID);
LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
