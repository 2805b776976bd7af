// Handles and committed memory of a process, read the way that works under
// Wine too (Win32-only): Wine answers 0 for GetProcessHandleCount and for
// PrivateUsage, so handles are counted in the system handle table
// (NtQuerySystemInformation, the process's entries) and memory is
// PagefileUsage.
#pragma once

#include "support/win32.h"

#include <psapi.h>

#include <cstddef>
#include <vector>

namespace bench {

// The system handle table as NtQuerySystemInformation class 16 returns it.
struct HandleEntry {
  USHORT processId;
  USHORT creatorBackTraceIndex;
  UCHAR objectTypeIndex;
  UCHAR attributes;
  USHORT handle;
  void* object;
  ULONG grantedAccess;
};
struct HandleTable {
  ULONG count;
  HandleEntry entries[1];
};
using NtQuerySystemInformationFn = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);

inline size_t HandleCount(DWORD processId) {
  static const auto query = reinterpret_cast<NtQuerySystemInformationFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  std::vector<unsigned char> buffer(1 << 20);
  for (;;) {
    ULONG needed = 0;
    const LONG status = query(16, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (status == 0) break;
    if (status != static_cast<LONG>(0xC0000004) || buffer.size() > (256u << 20)) return 0;
    buffer.resize(buffer.size() * 2);  // STATUS_INFO_LENGTH_MISMATCH
  }
  const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
  size_t count = 0;
  for (ULONG i = 0; i < table->count; ++i) count += table->entries[i].processId == processId;
  return count;
}

inline size_t PagefileUsage(HANDLE process) {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  return GetProcessMemoryInfo(process, &counters, sizeof counters) ? counters.PagefileUsage : 0;
}

}  // namespace bench
