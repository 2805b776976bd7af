// Naming rules of the diagnostic log (portable).
#include "support/log_rotation.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <regex>

int32_t ParseLeadingInt(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Accumulated as a magnitude in 64 bits and saturated once it leaves the
  // 32-bit range, so a long run of digits cannot overflow.
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > kLimit) magnitude = kLimit;
  }
  if (negative) return static_cast<int32_t>(-magnitude);
  return static_cast<int32_t>(std::min<int64_t>(magnitude, kLimit - 1));
}

int32_t NextLogSlot(std::string_view indexContent, int32_t maxFiles) {
  if (indexContent.empty() || maxFiles < 1) return 1;
  // 32-bit signed arithmetic that wraps: the sum is formed unsigned, and the
  // conversion back is modular.
  const auto next = static_cast<int32_t>(static_cast<uint32_t>(ParseLeadingInt(indexContent)) + 1u);
  const int32_t slot = next % (maxFiles + 1);
  return slot == 0 ? 1 : slot;
}

std::string SlotPattern(std::string_view logName, int32_t slot) {
  char slotText[16];
  std::snprintf(slotText, sizeof slotText, "%02d", static_cast<int>(slot));
  std::string pattern(logName);
  pattern += "\\_";
  pattern += slotText;
  pattern += "_\\d{14}\\.log";
  return pattern;
}

std::vector<std::string> FilesOfSlot(std::string_view logName, int32_t slot,
                                     const std::vector<std::string>& names) noexcept {
  try {
    const std::regex pattern(SlotPattern(logName, slot), std::regex::ECMAScript);
    std::vector<std::string> matches;
    for (const std::string& name : names) {
      if (std::regex_match(name, pattern)) matches.push_back(name);
    }
    return matches;
  } catch (...) {
    // An invalid pattern (the log name is not escaped), or no memory: the
    // rotation then deletes nothing.
    return {};
  }
}

std::string RotatedLogSuffix(int32_t slot, const LogStamp& stamp) {
  char text[64];
  std::snprintf(text, sizeof text, "_%02d_%04d%02d%02d%02d%02d%02d.log", static_cast<int>(slot),
                stamp.year, stamp.month, stamp.day, stamp.hour, stamp.minute, stamp.second);
  return text;
}

std::u16string ExecutableBaseName(std::u16string_view path) {
  const size_t slash = path.rfind(u'\\');
  std::u16string_view name = slash == std::u16string_view::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind(u'.');
  if (dot != std::u16string_view::npos) name = name.substr(0, dot);
  return CutToPathSize(std::u16string(name));
}

std::u16string LogNameSuffix(std::u16string_view commandLine) {
  constexpr std::u16string_view kSwitch = u"-logAnthorFile";
  const size_t at = commandLine.find(kSwitch);
  if (at == std::u16string_view::npos) return {};
  std::u16string_view rest = commandLine.substr(at + kSwitch.size());
  if (rest.size() < 2 || rest.front() != u' ') return {};
  const size_t start = rest.find_first_not_of(u' ');
  if (start == std::u16string_view::npos) return {};
  rest = rest.substr(start);
  return CutToPathSize(std::u16string(rest.substr(0, rest.find(u' '))));
}
