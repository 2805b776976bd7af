// Prints the handle count and committed memory of every running process with
// the given image name, one line each (Win32-only; bench/serve_load.py reads
// orbhost serve's figures with it):
//
//   scripts/wine-run.sh build/windows/bench/windows/process_usage.exe orbhost.exe
//   -> pid=292 handles=143 pagefile=25219072
#include "support/win32.h"
#include "support/win32_handles.h"

#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>

#include "process_usage.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: process_usage IMAGE.exe\n");
    return 2;
  }
  unique_hfile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  int found = 0;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (_wcsicmp(entry.szExeFile, argv[1]) != 0) continue;
    unique_handle process(
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID));
    if (!process) continue;
    std::printf("pid=%lu handles=%zu pagefile=%zu\n", entry.th32ProcessID,
                bench::HandleCount(entry.th32ProcessID), bench::PagefileUsage(process.get()));
    ++found;
  }
  return found > 0 ? 0 : 1;
}
