// Bridge to the system-information library SysInfoProbe.dll (Win32-only).
//
// Every call loads the library from the plug-in folder
// (%ProgramFiles%\QUON\CORVANE KIOSK Lite Service\Pelorus), resolves one
// export, calls it and unloads the library again; nothing stays loaded and
// there is no shared state, so any thread may call. The caller verifies the
// library's signature first. Progress goes to the diagnostic log. A missing
// library or export leaves text buffers untouched and gives counts of 0.
#pragma once

#include <cstdint>

class QuonValueSet;

namespace sysinfo {

// Size of the text buffers the text exports write into.
inline constexpr size_t kTextBytes = 100;

// The library's full path, "<ProgramFiles>\QUON\CORVANE KIOSK Lite
// Service\Pelorus\SysInfoProbe.dll".
const wchar_t* LibraryPath(wchar_t (&path)[260]);

// The count exports ("GetDiskUsage", "GetMemoryUsage"): the export's result,
// 0 when it could not be called. `records` null asks for the count.
int32_t CallCount(const char* exportName, void* records);
// The text exports ("GetCPUName", ... "GetSubBrand"): fills `buffer`
// (kTextBytes, zero it first) with NUL-terminated narrow text.
void CallText(const char* exportName, char* buffer);

// "GetProductLine" into a zero-filled buffer of kTextBytes.
inline void GetProductLine(char* buffer) {
  CallText("GetProductLine", buffer);
}
// True exactly for the product line "Motherboard" (case-sensitive, whole text).
bool IsMotherboardProductLine(const char* productLine);

// Landing-page operations, each writing under `node`:
// "Disc (<drive>)" per disk and "MemoryUsage", as doubles.
void GetHardwareUsage(QuonValueSet* node);
// The ten text facts ("CPUName", ... "SubBrand") as strings.
void DumpHwInfo(QuonValueSet* node);
// "MBSupport" (bool) from the product line; also the result.
bool GetMBSupport(QuonValueSet* node);

}  // namespace sysinfo
