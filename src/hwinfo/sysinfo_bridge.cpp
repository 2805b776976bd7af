// Bridge to SysInfoProbe.dll (Win32-only): load once per Library object (or
// per free call), resolve and call exports, unload at the end.
#include "hwinfo/sysinfo_bridge.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "pelorus/value_set.h"
#include "support/diag_log.h"
#include "support/signature.h"
#include "support/win32.h"
#include "support/win32_handles.h"

namespace sysinfo {
namespace {

constexpr wchar_t kPluginSubfolder[] = L"QUON\\CORVANE KIOSK Lite Service\\Pelorus";
constexpr size_t kDiskRecordBytes = 48;
constexpr size_t kDiskUsageOffset = 40;
constexpr size_t kMemoryRecordBytes = 24;
constexpr size_t kMemoryUsageOffset = 16;

// Loads the library; logs each step.
void Load(unique_hmodule& library) {
  wchar_t path[260];
  LibraryPath(path);
  dump_output_time(&SLog, "[HWInfo] szPath: %ls", path);
  library.reset(LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  dump_output_time(&SLog, "[HWInfo] SysInfoProbe.dll LoadLibraryEx Finish");
  if (!library) dump_output_time(&SLog, "SysInfoProbe.dll not found");
}

// Resolves one export of a loaded (or missing) library; logs it. Null when
// either is missing.
FARPROC Find(const char* exportName, const unique_hmodule& library) {
  FARPROC entry = library ? GetProcAddress(library.get(), exportName) : nullptr;
  dump_output_time(&SLog, "[HWInfo] SysInfoProbe.dll GetProcAddress Finish");
  if (entry == nullptr) dump_output_time(&SLog, "%s Function not found", exportName);
  return entry;
}

// Loads the library and resolves one export. Null when either is missing
// (the library is then unloaded again).
FARPROC Resolve(const char* exportName, unique_hmodule& library) {
  Load(library);
  FARPROC entry = Find(exportName, library);
  if (entry == nullptr) library.reset();
  return entry;
}

void Unload(unique_hmodule& library) {
  dump_output_time(&SLog, "[HWInfo] SysInfoProbe.dll Get Info Finish");
  library.reset();
  dump_output_time(&SLog, "[HWInfo] SysInfoProbe.dll FreeLibrary Finish");
}

void LogFailure(const char* exportName, const std::exception& e) {
  dump_output_time(&SLog, "[%s] %s loadDll Function Fail =  %s", exportName, exportName, e.what());
}

// Each narrow byte, taken as a signed value, becomes one UTF-16 unit.
std::u16string Widen(const char* text) {
  std::u16string wide;
  for (const char* p = text; *p != 0; ++p) {
    wide += static_cast<char16_t>(static_cast<int16_t>(static_cast<signed char>(*p)));
  }
  return wide;
}

double ReadDouble(const std::vector<uint8_t>& records, size_t offset) {
  double value;
  std::memcpy(&value, records.data() + offset, sizeof value);
  return value;
}

}  // namespace

const wchar_t* LibraryPath(wchar_t (&path)[260]) {
  wchar_t programFiles[260] = {};
  DWORD n = GetEnvironmentVariableW(L"ProgramFiles", programFiles, 260);
  if (n >= 260) programFiles[0] = 0;
  if (std::swprintf(path, 260, L"%ls\\%ls\\SysInfoProbe.dll", programFiles, kPluginSubfolder) < 0) {
    path[259] = 0;
  }
  return path;
}

int32_t CallCount(const char* exportName, void* records) {
  int32_t result = 0;
  try {
    unique_hmodule library;
    auto entry =
        reinterpret_cast<int32_t (*)(void*)>(reinterpret_cast<void*>(Resolve(exportName, library)));
    if (entry == nullptr) return 0;
    result = entry(records);
    Unload(library);
    dump_output_time(&SLog, "[HWInfo] %s: %d", exportName, result);
  } catch (const std::exception& e) {
    LogFailure(exportName, e);
  }
  return result;
}

void CallText(const char* exportName, char* buffer) {
  try {
    unique_hmodule library;
    auto entry =
        reinterpret_cast<void (*)(char*)>(reinterpret_cast<void*>(Resolve(exportName, library)));
    if (entry == nullptr) return;
    entry(buffer);
    Unload(library);
    dump_output_time(&SLog, "[HWInfo] %s: %s", exportName, buffer);
  } catch (const std::exception& e) {
    LogFailure(exportName, e);
  }
}

Library::Library(const PinnedFile* pin) {
  Load(m_module);
  if (m_module && pin != nullptr && !pin->ConfirmImage(m_module.get())) {
    dump_output_time(&SLog, "[HWInfo] SysInfoProbe.dll loaded is not the checked file, unloaded");
    m_module.reset();
    m_refused = true;
  }
}

Library::~Library() {
  if (m_module) Unload(m_module);
}

void* Library::Resolve(const char* exportName) {
  return reinterpret_cast<void*>(Find(exportName, m_module));
}

int32_t Library::CallCount(const char* exportName, void* records) {
  int32_t result = 0;
  try {
    auto entry = reinterpret_cast<int32_t (*)(void*)>(Resolve(exportName));
    if (entry == nullptr) return 0;
    result = entry(records);
    dump_output_time(&SLog, "[HWInfo] %s: %d", exportName, result);
  } catch (const std::exception& e) {
    LogFailure(exportName, e);
  }
  return result;
}

void Library::CallText(const char* exportName, char* buffer) {
  try {
    auto entry = reinterpret_cast<void (*)(char*)>(Resolve(exportName));
    if (entry == nullptr) return;
    entry(buffer);
    dump_output_time(&SLog, "[HWInfo] %s: %s", exportName, buffer);
  } catch (const std::exception& e) {
    LogFailure(exportName, e);
  }
}

bool IsMotherboardProductLine(const char* productLine) {
  return std::strcmp(productLine, "Motherboard") == 0;
}

void GetHardwareUsage(QuonValueSet* node) {
  Library library;
  GetHardwareUsage(library, node);
}

void GetHardwareUsage(Library& library, QuonValueSet* node) {
  const int32_t memoryCount = library.CallCount("GetMemoryUsage", nullptr);
  const int32_t diskCount = library.CallCount("GetDiskUsage", nullptr);
  std::vector<uint8_t> disks(static_cast<size_t>(diskCount > 0 ? diskCount : 0) * kDiskRecordBytes);
  library.CallCount("GetDiskUsage", disks.empty() ? nullptr : disks.data());
  std::vector<uint8_t> memory(static_cast<size_t>(memoryCount > 0 ? memoryCount : 0) *
                              kMemoryRecordBytes);
  library.CallCount("GetMemoryUsage", memory.empty() ? nullptr : memory.data());

  for (int32_t i = 0; i < diskCount; ++i) {
    const uint8_t* record = disks.data() + static_cast<size_t>(i) * kDiskRecordBytes;
    std::string drive;  // the first two units of the drive name, narrowed
    for (size_t unit = 0; unit < 2; ++unit) {
      char16_t c;
      std::memcpy(&c, record + unit * 2, sizeof c);
      if (c == 0) break;
      drive += static_cast<char>(c);
    }
    node->SetDoubleValue(
        "Disc (" + drive + ")",
        ReadDouble(disks, static_cast<size_t>(i) * kDiskRecordBytes + kDiskUsageOffset));
  }
  if (memoryCount > 0) node->SetDoubleValue("MemoryUsage", ReadDouble(memory, kMemoryUsageOffset));
}

void DumpHwInfo(QuonValueSet* node) {
  Library library;
  DumpHwInfo(library, node);
}

void DumpHwInfo(Library& library, QuonValueSet* node) {
  char cpu[kTextBytes] = {}, gpu[kTextBytes] = {}, model[kTextBytes] = {}, bios[kTextBytes] = {},
       dramMfr[kTextBytes] = {}, dramClock[kTextBytes] = {}, dramCapacity[kTextBytes] = {},
       productLine[kTextBytes] = {}, sku[kTextBytes] = {}, subBrand[kTextBytes] = {};
  library.CallText("GetCPUName", cpu);
  library.CallText("GetGPUName", gpu);
  library.CallText("GetModelName", model);
  library.CallText("GetBIOSVersion", bios);
  library.CallText("GetDRAMMfr", dramMfr);
  library.CallText("GetDRAMClock", dramClock);
  library.CallText("GetDRAMCapacity", dramCapacity);
  library.CallText("GetProductLine", productLine);
  library.CallText("GetProductSKU", sku);
  library.CallText("GetSubBrand", subBrand);
  // A text export may fill its buffer to the last byte; the buffers hold one
  // spare byte of zero only when the export honoured the size.
  for (char* text :
       {cpu, gpu, model, bios, dramMfr, dramClock, dramCapacity, productLine, sku, subBrand}) {
    text[kTextBytes - 1] = 0;
  }
  node->SetStringValue("CPUName", Widen(cpu));
  node->SetStringValue("GPUName", Widen(gpu));
  node->SetStringValue("ModelName", Widen(model));
  node->SetStringValue("BIOSVersion", Widen(bios));
  node->SetStringValue("DRAMCapacity", Widen(dramCapacity));
  node->SetStringValue("DRAMClock", Widen(dramClock));
  node->SetStringValue("DRAMMfr", Widen(dramMfr));
  node->SetStringValue("ProductLine", Widen(productLine));
  node->SetStringValue("ProductSKU", Widen(sku));
  node->SetStringValue("SubBrand", Widen(subBrand));
}

bool GetMBSupport(QuonValueSet* node) {
  Library library;
  return GetMBSupport(library, node);
}

bool GetMBSupport(Library& library, QuonValueSet* node) {
  char productLine[kTextBytes] = {};
  library.CallText("GetProductLine", productLine);
  productLine[kTextBytes - 1] = 0;
  dump_output_time(&SLog, "ProductLine = %s", productLine);
  const bool supported = IsMotherboardProductLine(productLine);
  node->SetValue("MBSupport", new QuonValueSet::OrbValue(supported));
  return supported;
}

}  // namespace sysinfo
