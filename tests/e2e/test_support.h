// Helpers shared by orbhost's tests (Win32-only): files beside the test
// executable, temporary files, and an event sink that records.
#pragma once

#include "support/win32.h"

#include <mutex>
#include <string>
#include <vector>

#include "event_sink.h"

namespace orbhost::test {

// A file in the folder of the running test executable.
inline std::wstring BesideTest(const std::wstring& name) {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, n);
  return folder.substr(0, folder.find_last_of(L"\\/") + 1) + name;
}

// A new empty file's path in the temporary folder (the file is created).
inline std::wstring TempFile(const wchar_t* prefix) {
  wchar_t folder[MAX_PATH], file[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  GetTempFileNameW(folder, prefix, 0, file);
  return file;
}

inline std::string ReadFileText(const std::wstring& path) {
  std::string text;
  if (FILE* f = _wfopen(path.c_str(), L"rb")) {
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, f)) > 0;) text.append(chunk, n);
    fclose(f);
  }
  return text;
}

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
