// Helpers of orbhost's tests (Win32-only), on top of
// ../common/windows_test_support.h: files beside the test executable as
// wide strings, temporary files, and an event sink that records.
#pragma once

#include <mutex>
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
