// Test helper standing in for the plug-in module in a fresh process: it is
// linked with the diagnostic log and its start-up, so its static
// initialisation configures the log exactly as loading Pelorus.dll does (the
// log name is this program's name plus any "-logAnthorFile" suffix). Then it
// writes lines through the writers.
//
//   diag_log_writer.exe [--lines N] [other arguments]
//
// Writes N (default 1) lines "writer line <i>" with dump_output_time.
#include "support/win32.h"

#include <cwchar>

#include "support/diag_log.h"

int wmain(int argc, wchar_t** argv) {
  int lines = 1;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::wcscmp(argv[i], L"--lines") == 0) lines = std::wcstol(argv[i + 1], nullptr, 10);
  }
  for (int i = 0; i < lines; ++i) dump_output_time(&SLog, "writer line %d", i);
  return 0;
}
