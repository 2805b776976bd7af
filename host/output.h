// Win32-only: orbhost's two output streams. JSON and the tour go to a
// duplicate of the process's original standard output; log lines go to
// standard error or a file. Every line is written whole under a lock, since
// the plug-in calls in from several threads at once.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "value_json.h"

namespace orbhost {

// An open C runtime stream, closed with fclose.
struct CrtFileCloser {
  void operator()(FILE* file) const { fclose(file); }
};
using CrtFile = std::unique_ptr<FILE, CrtFileCloser>;

// A line-oriented writer over a C runtime file descriptor (binary mode).
class LineWriter {
 public:
  explicit LineWriter(int fd) : fd_(fd) {}
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  // Writes text and a line feed as one unit.
  void WriteLine(std::string_view text);
  void WriteJson(const Json& json) {
    WriteLine(json.dump(-1, ' ', false, Json::error_handler_t::replace));
  }

 private:
  std::mutex mutex_;
  int fd_;
};

// Points file descriptor 1 (and the Win32 standard output handle) at
// `target` (standard error when null), and returns a duplicate of the
// original standard output for orbhost's own output, in binary mode.
// Anything the plug-in or a library it loads prints then lands there.
// Returns -1 when there was no standard output.
int DivertStandardOutput(FILE* target = nullptr);

// Host log lines "[level] text", kept when level <= threshold. With a path
// and a size, the file is rotated when it grows past the size: it becomes
// "<path>.1" (replacing the previous one) and a new file starts, so the log
// never takes more than about twice the size.
class LogSink {
 public:
  LogSink(uint32_t threshold, CrtFile file) : threshold_(threshold), file_(std::move(file)) {}
  LogSink(uint32_t threshold, CrtFile file, std::wstring path, long maxBytes)
      : threshold_(threshold),
        file_(std::move(file)),
        path_(std::move(path)),
        maxBytes_(maxBytes) {}
  FILE* file() const { return file_.get(); }
  LogSink(const LogSink&) = delete;
  LogSink& operator=(const LogSink&) = delete;

  bool Wants(uint32_t level) const { return level <= threshold_; }
  void Write(uint32_t level, std::u16string_view text);

 private:
  std::mutex mutex_;
  void RotateIfFull();  // with mutex_ held

  uint32_t threshold_;
  CrtFile file_;  // empty: standard error
  std::wstring path_;
  long maxBytes_ = 0;  // 0: no rotation
};

}  // namespace orbhost
