// Where a hardware back end's log lines go (Win32-only): the callback,
// context and owner that its caller hands over, in the argument order of the
// plug-in's own host-log calls. A line is formatted here (our own formats,
// "%ls" for wide and "%hs" for narrow arguments) into a 1024-unit buffer and
// delivered as callback(context, owner, level, "%s", line), so texts from
// outside libraries never act as a format.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cwchar>

#include "pelorus/orb_plugin.h"

struct HwLogSink {
  OrbLogCallback callback = nullptr;
  void* context = nullptr;
  void* owner = nullptr;

  static constexpr size_t kLineUnits = 1024;

  void Set(OrbLogCallback fn, void* ctx, void* own) {
    callback = fn;
    context = ctx;
    owner = own;
  }

  // Formats and delivers one line; false when the format could not be
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
    wchar_t line[kLineUnits];
    const int n = std::vswprintf(line, kLineUnits, format, args);
    if (n < 0) return false;
    callback(context, static_cast<IOrbPlugin*>(owner), level, L"%s", line);
    return true;
  }
};
