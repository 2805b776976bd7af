// Test helper standing in for the plug-in module in a fresh process: it is
// linked with the diagnostic log and its start-up, so its static
// initialisation configures the log exactly as loading Pelorus.dll does (the
// log name is this program's name plus any "-logAnthorFile" suffix). Then it
// writes the line "writer line 0" with dump_output_time.
//
//   diag_log_writer.exe [arguments]
#include "support/win32.h"

#include "support/diag_log.h"

int wmain(int, wchar_t**) {
  dump_output_time(&SLog, "writer line %d", 0);
  return 0;
}
