// utility_child.exe: a program for the process-utility tests to start, signed
// by the build in several ways (maker, other company, unsigned).
//
//   utility_child.exe wait <ms>              stays alive <ms> ms, then exits 0
//   utility_child.exe record <file> [...]    writes its command line (UTF-16)
//                                            to <file>, exits 0
//   utility_child.exe check-services         runs CheckServices, writing the
//                                            diagnostic log's lines to
//                                            standard output
//
// Copied under another name (QuonFanControlService.exe) it shows how
// CheckServices treats its own process.
#include <cstdio>
#include <cwchar>
#include <string>

#include "support/diag_log.h"
#include "support/platform_seams.h"
#include "support/service_utils.h"
#include "support/win32.h"

namespace {

void WINAPI LogNarrow(LPCSTR text) {
  std::fputs(text, stdout);
}
void WINAPI LogWide(LPCWSTR text) {
  std::printf("%ls", text);
}

bool WriteFileText(const wchar_t* path, const std::wstring& text) {
  FILE* file = _wfopen(path, L"wb");
  if (file == nullptr) return false;
  std::fwrite(text.data(), sizeof(wchar_t), text.size(), file);
  std::fclose(file);
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring command = argc >= 2 ? argv[1] : L"";
  if (command == L"wait" && argc == 3) {
    Sleep(std::wcstoul(argv[2], nullptr, 10));
    return 0;
  }
  // "record" is looked for in every argument: a program path with blanks
  // handed over unquoted splits into several arguments before it.
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::wcscmp(argv[i], L"record") == 0)
      return WriteFileText(argv[i + 1], GetCommandLineW()) ? 0 : 1;
  }
  if (command == L"check-services") {
    Seams().outputDebugStringA = &LogNarrow;
    Seams().outputDebugString = &LogWide;
    SLog.m_nMode = 1;
    CheckServices();
    return 0;
  }
  std::fwprintf(stderr,
                L"usage: utility_child.exe wait <ms> | record <file> "
                L"[...] | check-services\n");
  return 2;
}
