// A fresh scratch folder for Windows tests (Win32-only).
#pragma once

#include <filesystem>
#include <string>

#include "support/win32.h"

// A fresh folder under %TEMP%, removed with everything in it.
class ScratchFolder {
 public:
  ScratchFolder() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    static int counter = 0;
    m_path = std::filesystem::path(temp) / (L"pelorus-" + std::to_wstring(GetCurrentProcessId()) +
                                            L"-" + std::to_wstring(++counter));
    std::filesystem::remove_all(m_path);
    std::filesystem::create_directories(m_path);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& path() const { return m_path; }
  // Copies `source` into the folder (subfolder `sub` if given) as `name`.
  std::filesystem::path Place(const std::filesystem::path& source, const std::wstring& name,
                              const std::wstring& sub = L"") const {
    std::filesystem::path folder = sub.empty() ? m_path : m_path / sub;
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(source, folder / name,
                               std::filesystem::copy_options::overwrite_existing);
    return folder / name;
  }

 private:
  std::filesystem::path m_path;
};
