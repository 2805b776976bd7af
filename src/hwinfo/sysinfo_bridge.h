// Bridge to the system-information library SysInfoProbe.dll (Win32-only).
//
// The library is loaded from the plug-in folder
// (%ProgramFiles%\QUON\CORVANE KIOSK Lite Service\Pelorus): once per
// Library object, which a request keeps for the calls it makes, or once per
// call through the free CallCount and CallText. Nothing stays loaded between
// requests and there is no shared state, so any thread may call. The caller
// verifies the library's signature first and passes the pinned file, so that
// what is loaded is the checked file. Progress goes to the diagnostic log. A
// missing library or export leaves text buffers untouched and gives counts
// of 0.
#pragma once

#include <cstdint>

#include "support/win32_handles.h"

class PinnedFile;
class QuonValueSet;

namespace sysinfo {

// The library loaded for the object's lifetime (load and unload logged once).
class Library {
 public:
  // Loads it. With `pin`, the library is kept only when the image loaded is
  // the pinned file; otherwise it is unloaded again and Refused() is true.
  explicit Library(const PinnedFile* pin = nullptr);
  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  bool Loaded() const { return static_cast<bool>(m_module); }
  // The image loaded was not the pinned file.
  bool Refused() const { return m_refused; }

  // As the free CallCount and CallText, without loading again.
  int32_t CallCount(const char* exportName, void* records);
  void CallText(const char* exportName, char* buffer);

 private:
  void* Resolve(const char* exportName);

  unique_hmodule m_module;
  bool m_refused = false;
};

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

// Landing-page operations, each writing under `node` from one loaded library
// (the overloads without it load it once for the operation):
// "Disc (<drive>)" per disk and "MemoryUsage", as doubles.
void GetHardwareUsage(Library& library, QuonValueSet* node);
void GetHardwareUsage(QuonValueSet* node);
// The ten text facts ("CPUName", ... "SubBrand") as strings.
void DumpHwInfo(Library& library, QuonValueSet* node);
void DumpHwInfo(QuonValueSet* node);
// "MBSupport" (bool) from the product line; also the result.
bool GetMBSupport(Library& library, QuonValueSet* node);
bool GetMBSupport(QuonValueSet* node);

}  // namespace sysinfo
