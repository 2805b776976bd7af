// SysInfoProbe.dll: the system-information library stand-in. Plain exported
// functions answer from the hardware profile (companions/common/hw_profile.h,
// section [SysInfoProbe]); README.md lists the exports, records and keys.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "hw_profile.h"

namespace {

constexpr wchar_t kSection[] = L"SysInfoProbe";
constexpr size_t kTextBytes = 100;

#pragma pack(push, 1)
struct DiskRecord {  // 48 bytes
  wchar_t drive[20];
  double usage;
};
struct MemoryRecord {  // 24 bytes
  uint64_t totalBytes;
  uint64_t availableBytes;
  double usage;
};
#pragma pack(pop)
static_assert(sizeof(DiskRecord) == 48 && offsetof(DiskRecord, usage) == 40);
static_assert(sizeof(MemoryRecord) == 24 && offsetof(MemoryRecord, usage) == 16);

void WriteText(char* buffer, const std::wstring& text) {
  if (buffer == nullptr) return;
  const std::string narrow = hw_profile::Ascii(text).substr(0, kTextBytes - 1);
  std::memcpy(buffer, narrow.c_str(), narrow.size() + 1);
}

void Answer(char* buffer, const wchar_t* key, const std::wstring& fallback) {
  WriteText(buffer, hw_profile::String(kSection, key, fallback));
}

MEMORYSTATUSEX MemoryStatus() {
  MEMORYSTATUSEX status = {};
  status.dwLength = sizeof status;
  GlobalMemoryStatusEx(&status);
  return status;
}

// "C:\=41.5;D:\=73.0" from the profile, else the machine's fixed drives.
std::vector<DiskRecord> Disks() {
  std::vector<DiskRecord> disks;
  std::wstring listed;
  if (hw_profile::Find(kSection, L"Disks", &listed)) {
    for (const std::wstring& entry : hw_profile::Split(listed, L';')) {
      const size_t at = entry.find(L'=');
      if (entry.empty() || at == std::wstring::npos) continue;
      DiskRecord record = {};
      wcsncpy_s(record.drive, entry.substr(0, at).c_str(), _TRUNCATE);
      record.usage = std::wcstod(entry.c_str() + at + 1, nullptr);
      disks.push_back(record);
    }
    return disks;
  }
  wchar_t drives[256] = {};
  GetLogicalDriveStringsW(255, drives);
  for (const wchar_t* drive = drives; *drive != 0; drive += wcslen(drive) + 1) {
    ULARGE_INTEGER available, total, free;
    if (GetDriveTypeW(drive) != DRIVE_FIXED ||
        !GetDiskFreeSpaceExW(drive, &available, &total, &free) || total.QuadPart == 0) {
      continue;
    }
    DiskRecord record = {};
    wcsncpy_s(record.drive, drive, _TRUNCATE);
    record.usage = 100.0 * static_cast<double>(total.QuadPart - free.QuadPart) /
                   static_cast<double>(total.QuadPart);
    disks.push_back(record);
  }
  return disks;
}

// One record with the machine's memory load unless the profile says
// otherwise ("MemoryUsage" empty: no record).
std::vector<MemoryRecord> Memory() {
  const MEMORYSTATUSEX status = MemoryStatus();
  MemoryRecord record = {status.ullTotalPhys, status.ullAvailPhys,
                         static_cast<double>(status.dwMemoryLoad)};
  std::wstring listed;
  if (hw_profile::Find(kSection, L"MemoryUsage", &listed)) {
    if (listed.empty()) return {};
    record.usage = std::wcstod(listed.c_str(), nullptr);
  }
  return {record};
}

std::wstring DisplayAdapter() {
  DISPLAY_DEVICEW device = {};
  device.cb = sizeof device;
  for (DWORD i = 0; EnumDisplayDevicesW(nullptr, i, &device, 0); ++i) {
    if (device.DeviceString[0] != 0) return device.DeviceString;
  }
  return L"Generic display adapter";
}

std::wstring Capacity() {
  const double gib = static_cast<double>(MemoryStatus().ullTotalPhys) / (1024.0 * 1024 * 1024);
  wchar_t text[32];
  std::swprintf(text, 32, L"%.0f GB", gib < 1 ? 1.0 : gib);
  return text;
}

template <class Record>
int32_t Fill(const std::vector<Record>& records, void* out) {
  if (out != nullptr && !records.empty()) {
    std::memcpy(out, records.data(), records.size() * sizeof(Record));
  }
  return static_cast<int32_t>(records.size());
}

}  // namespace

extern "C" {

__declspec(dllexport) int32_t GetDiskUsage(void* records) {
  return Fill(Disks(), records);
}
__declspec(dllexport) int32_t GetMemoryUsage(void* records) {
  return Fill(Memory(), records);
}

__declspec(dllexport) void GetCPUName(char* buffer) {
  Answer(buffer, L"CPUName", hw_profile::ProcessorName());
}
__declspec(dllexport) void GetGPUName(char* buffer) {
  Answer(buffer, L"GPUName", DisplayAdapter());
}
__declspec(dllexport) void GetModelName(char* buffer) {
  Answer(buffer, L"ModelName", hw_profile::BiosString(L"SystemProductName", L"PRB-01"));
}
__declspec(dllexport) void GetBIOSVersion(char* buffer) {
  Answer(buffer, L"BIOSVersion", hw_profile::BiosString(L"BIOSVersion", L"1.00"));
}
__declspec(dllexport) void GetDRAMMfr(char* buffer) {
  Answer(buffer, L"DRAMMfr", L"Pelorus Reference Memory");
}
__declspec(dllexport) void GetDRAMClock(char* buffer) {
  Answer(buffer, L"DRAMClock", L"3200 MHz");
}
__declspec(dllexport) void GetDRAMCapacity(char* buffer) {
  Answer(buffer, L"DRAMCapacity", Capacity());
}
__declspec(dllexport) void GetProductLine(char* buffer) {
  Answer(buffer, L"ProductLine", L"Motherboard");
}
__declspec(dllexport) void GetProductSKU(char* buffer) {
  Answer(buffer, L"ProductSKU", hw_profile::BiosString(L"SystemSKU", L"PRB-01-STD"));
}
__declspec(dllexport) void GetSubBrand(char* buffer) {
  Answer(buffer, L"SubBrand", L"Reference");
}

// The machine's feature word; bit 0: the firmware restores settings after resume.
__declspec(dllexport) uint32_t GetFeatures() {
  return static_cast<uint32_t>(hw_profile::Integer(kSection, L"Features", 1));
}

}  // extern "C"
