// Helpers of orbhost's tests (Win32-only), on top of
// ../common/windows_test_support.h: files beside the test executable as
// wide strings, temporary files, the database self-test's files, and an
// event sink that records.
#pragma once

#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "../common/windows_test_support.h"
#include "event_sink.h"

namespace orbhost::test {

using wintest::ReadAll;

inline std::wstring BesideTest(const std::wstring& name) {
  return wintest::BesideTest(name).wstring();
}

// A new empty file's path in the temporary folder (the file is created).
inline std::wstring TempFile(const wchar_t* prefix) {
  wchar_t folder[MAX_PATH], file[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  GetTempFileNameW(folder, prefix, 0, file);
  return file;
}

// The folder where the plug-in's database self-test leaves its files.
inline const std::filesystem::path kPublicLibraries = L"C:\\Users\\Public\\Libraries";

// Removes, when it ends, every file that appeared in C:\Users\Public\Libraries
// while it lived (the files a test's database self-tests created).
class NewPublicLibraryFiles {
 public:
  NewPublicLibraryFiles() : before_(List()) {}
  ~NewPublicLibraryFiles() {
    std::error_code ignored;
    for (const auto& file : List())
      if (!before_.count(file)) std::filesystem::remove(file, ignored);
  }
  NewPublicLibraryFiles(const NewPublicLibraryFiles&) = delete;
  NewPublicLibraryFiles& operator=(const NewPublicLibraryFiles&) = delete;

 private:
  static std::set<std::filesystem::path> List() {
    std::set<std::filesystem::path> files;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(kPublicLibraries, ec), end; !ec && it != end;
         it.increment(ec))
      files.insert(it->path());
    return files;
  }
  std::set<std::filesystem::path> before_;
};

class RecordingEvents : public EventSink {
 public:
  void Emit(const Json& event) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
  }
  JsonForm Form() const override { return JsonForm::kPlain; }
  std::vector<Json> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::move(events_);
  }

 private:
  std::mutex mutex_;
  std::vector<Json> events_;
};

}  // namespace orbhost::test
