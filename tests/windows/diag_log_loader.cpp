// Test helper: loads a plug-in module the way a host does, which runs the
// module's diagnostic-log start-up in this fresh process, then unloads it.
// The command line may carry "-logAnthorFile <suffix>" for that start-up.
//
//   diag_log_loader.exe <module path> [--check-files <folder>] [other arguments]
//
// --check-files: while the module is loaded, every file in <folder> must
// open for reading, writing and deleting beside the module's own handle (the
// log file is shared that way); after unloading, every file must open
// without sharing (the module's exit handler closed it).
// Exit codes: 0 done; 2 usage; 3 the module did not load; 4 a file in the
// folder was still open after unloading; 5 a file was not shared.
#include "support/win32.h"
#include "support/win32_handles.h"

#include <cwchar>
#include <string>

namespace {

// Whether every file in `folder` opens with the given access and sharing.
bool AllFilesOpen(const std::wstring& folder, DWORD access, DWORD share) {
  WIN32_FIND_DATAW data;
  const unique_hfind find(FindFirstFileW((folder + L"\\*").c_str(), &data));
  if (!find) return true;
  do {
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    const std::wstring path = folder + L"\\" + data.cFileName;
    const unique_hfile file(
        CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return false;
  } while (FindNextFileW(find.get(), &data));
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  const wchar_t* checkFolder = nullptr;
  for (int i = 2; i + 1 < argc; ++i) {
    if (std::wcscmp(argv[i], L"--check-files") == 0) checkFolder = argv[i + 1];
  }
  HMODULE module = LoadLibraryW(argv[1]);
  if (module == nullptr) return 3;
  const bool shared = checkFolder == nullptr ||
                      AllFilesOpen(checkFolder, GENERIC_READ | GENERIC_WRITE | DELETE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  FreeLibrary(module);
  if (checkFolder != nullptr && !AllFilesOpen(checkFolder, GENERIC_READ, 0)) return 4;
  return shared ? 0 : 5;
}
