// Line layouts of the diagnostic log (portable).
#include "support/log_lines.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// Appends the message, cut to what leaves room for CR LF and the NUL, then
// CR LF; `used` bytes of `out` are taken already.
size_t FinishLine(char* out, size_t cap, size_t used, std::string_view message) {
  const size_t room = cap - used - 3;
  const size_t take = std::min(message.size(), room);
  std::memcpy(out + used, message.data(), take);
  used += take;
  out[used++] = '\r';
  out[used++] = '\n';
  out[used] = '\0';
  return used;
}

}  // namespace

size_t FormatStampedLine(char* out, size_t cap, const LogStamp& stamp, int spaces,
                         std::string_view message) {
  char head[64];
  const int headLength =
      std::snprintf(head, sizeof head, "%04d-%02d-%02d %02d:%02d:%02d%*s", stamp.year, stamp.month,
                    stamp.day, stamp.hour, stamp.minute, stamp.second, spaces, "");
  if (headLength < 0 || static_cast<size_t>(headLength) >= sizeof head ||
      static_cast<size_t>(headLength) + 3 > cap) {
    if (cap > 0) out[0] = '\0';
    return 0;
  }
  std::memcpy(out, head, static_cast<size_t>(headLength));
  return FinishLine(out, cap, static_cast<size_t>(headLength), message);
}

size_t FormatPlainLine(char* out, size_t cap, std::string_view message) {
  if (cap < 3) {
    if (cap > 0) out[0] = '\0';
    return 0;
  }
  return FinishLine(out, cap, 0, message);
}
