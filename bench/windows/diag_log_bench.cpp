// Cost of a diagnostic-log line under Wine (Win32-only; run by hand):
//
//   scripts/wine-run.sh build/windows/bench/windows/diag_log_bench.exe [lines]
//
// Each line of dump_output_time is formatted, written with one WriteFile and
// flushed, by design. Measured next to it, on the same kind of file with the
// same bytes: one WriteFile + FlushFileBuffers (the floor the log cannot go
// below), WriteFile alone, and the writer with the switch off (formatting
// only). Each figure is the median of five runs, timed with
// QueryPerformanceCounter; the runs of the two things compared alternate.
#include "support/win32.h"
#include "support/win32_handles.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "qpc_harness.h"
#include "support/diag_log.h"

namespace {

using qpc::kRuns;
using qpc::MicrosecondsPerCall;
constexpr char kPayload[] = "[PELORUS][DoGetName] star, request from the host, answer follows";

unique_hfile CreateScratchFile(const std::wstring& path) {
  return unique_hfile(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

void Report(const char* what, double microseconds) {
  std::printf("%-44s %10.1f us/line %12.0f lines/s\n", what, microseconds, 1e6 / microseconds);
}

}  // namespace

int main(int argc, char** argv) {
  const int lines = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring logPath = std::wstring(temp) + L"pelorus-bench-log.log";
  const std::wstring floorPath = std::wstring(temp) + L"pelorus-bench-floor.log";

  DiagLog log;
  log.hFile.reset(NullIfInvalid(CreateScratchFile(logPath).release()));
  unique_hfile floorFile = CreateScratchFile(floorPath);
  if (!log.hFile || !floorFile) {
    std::fprintf(stderr, "cannot create the scratch files in %ls\n", temp);
    return 1;
  }
  log.m_nMode = 2;
  log.m_EnableLog = 1;

  // The same bytes as a logged line: stamp, two spaces, message, CR LF.
  char line[256];
  const int lineLength =
      std::snprintf(line, sizeof line, "2024-06-01 12:00:00  %s %d\r\n", kPayload, 1000);
  std::printf("%d lines of %d bytes per run, median of %d runs\n", lines, lineLength, kRuns);

  auto logLine = [&](int i) { dump_output_time(&log, "%s %d", kPayload, 1000 + i % 9000); };
  auto writeOnly = [&](int) {
    DWORD written = 0;
    WriteFile(floorFile.get(), line, static_cast<DWORD>(lineLength), &written, nullptr);
  };
  auto writeAndFlush = [&](int i) {
    writeOnly(i);
    FlushFileBuffers(floorFile.get());
  };

  const auto [logged, floor] = MicrosecondsPerCall(lines, logLine, writeAndFlush);
  Report("dump_output_time (write + flush per line)", logged);
  Report("WriteFile + FlushFileBuffers (floor)", floor);
  log.m_EnableLog = 0;
  const auto [formatting, write] = MicrosecondsPerCall(lines, logLine, writeOnly);
  Report("WriteFile alone", write);
  Report("dump_output_time, switch off (formatting)", formatting);

  log.hFile.reset();
  floorFile.reset();
  DeleteFileW(logPath.c_str());
  DeleteFileW(floorPath.c_str());
  return 0;
}
