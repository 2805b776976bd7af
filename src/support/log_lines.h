// Line layouts of the diagnostic log: the time-stamped line and the plain
// line, written into the fixed buffers of the writers.
//
// Portable: no OS calls, so every length can be tried natively under the
// sanitizers.
#pragma once

#include <cstddef>
#include <string_view>

#include "support/log_rotation.h"

// Bytes of every narrow line buffer (message and finished line).
constexpr size_t kLogLineBytes = 2048;
// Wide characters of the error writer's line buffer.
constexpr size_t kLogErrorLineChars = 1024;
// Bytes of the fallback writer's buffer.
constexpr size_t kLogFallbackBytes = 1024;

// Whether a message of `length` formatted bytes is accepted: the message and
// its terminator must fit a line buffer. A negative length (a format error)
// is refused too.
constexpr bool MessageFits(int length) {
  return length >= 0 && static_cast<size_t>(length) + 1 < kLogLineBytes;
}

// Writes "YYYY-MM-DD hh:mm:ss", `spaces` spaces, the message and CR LF into
// `out` (capacity `cap`, NUL-terminated). When the whole line would not fit,
// the message is cut, so the line always ends in CR LF. Returns the length
// of the line without its NUL (0 when `cap` cannot hold even the frame).
size_t FormatStampedLine(char* out, size_t cap, const LogStamp& stamp, int spaces,
                         std::string_view message);

// Writes the message and CR LF into `out` (capacity `cap`, NUL-terminated),
// cutting the message when needed. Returns the length without the NUL.
size_t FormatPlainLine(char* out, size_t cap, std::string_view message);
