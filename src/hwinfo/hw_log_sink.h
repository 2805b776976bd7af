// Where a hardware back end's log lines go (Win32-only): the callback,
// context and owner that its caller hands over, in the argument order of the
// plug-in's own host-log calls. A line is formatted here (our own formats,
// "%ls" for wide and "%hs" for narrow arguments) and delivered as
// callback(context, owner, level, "%s", line), so texts from outside
// libraries never act as a format. Ordinary lines reach the host whole,
// however long; progress lines render into a fixed 1024-unit buffer and are
// refused when they do not fit.
#pragma once

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cwchar>
#include <string>

#include "pelorus/orb_plugin.h"

struct HwLogSink {
  OrbLogCallback callback = nullptr;
  void* context = nullptr;
  void* owner = nullptr;

  static constexpr size_t kProgressUnits = 1024;
  // Upper bound of an ordinary line, so a format that can never be rendered
  // (a narrow argument that does not convert) does not grow without end.
  static constexpr size_t kMaxLineUnits = size_t{1} << 22;

  void Set(OrbLogCallback fn, void* ctx, void* own) {
    callback = fn;
    context = ctx;
    owner = own;
  }

  // Formats and delivers one whole line; false when the format could not be
  // rendered. Nothing happens without a callback.
  bool Write(uint32_t level, const wchar_t* format, ...) const {
    va_list args;
    va_start(args, format);
    const bool ok = WriteV(level, format, args);
    va_end(args);
    return ok;
  }
  bool WriteV(uint32_t level, const wchar_t* format, va_list args) const {
    if (callback == nullptr) return true;
    std::wstring line(kProgressUnits, L'\0');
    for (;;) {
      va_list attempt;
      va_copy(attempt, args);
      const int n = std::vswprintf(line.data(), line.size(), format, attempt);
      va_end(attempt);
      if (n >= 0 && static_cast<size_t>(n) < line.size()) {
        line.resize(static_cast<size_t>(n));
        break;
      }
      if (line.size() >= kMaxLineUnits) return false;
      // A runtime that reports the full length says how much room is needed.
      const size_t needed = n >= 0 ? static_cast<size_t>(n) + 1 : line.size() * 2;
      line.resize(std::min(needed, kMaxLineUnits));
    }
    Deliver(level, line.c_str());
    return true;
  }

  // A progress line: rendered into kProgressUnits units; false (and nothing
  // delivered) when it does not fit or cannot be rendered.
  bool WriteProgressV(uint32_t level, const wchar_t* format, va_list args) const {
    if (callback == nullptr) return true;
    wchar_t line[kProgressUnits];
    const int n = std::vswprintf(line, kProgressUnits, format, args);
    if (n < 0 || static_cast<size_t>(n) >= kProgressUnits) return false;
    Deliver(level, line);
    return true;
  }
  bool WriteProgress(uint32_t level, const wchar_t* format, ...) const {
    va_list args;
    va_start(args, format);
    const bool ok = WriteProgressV(level, format, args);
    va_end(args);
    return ok;
  }

 private:
  void Deliver(uint32_t level, const wchar_t* line) const {
    callback(context, static_cast<IOrbPlugin*>(owner), level, L"%s", line);
  }
};
