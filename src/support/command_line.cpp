// Candidate program files of a command line (portable).
#include "support/command_line.h"

namespace {

bool IsBlank(char16_t c) {
  return c == u' ' || c == u'\t';
}

// CreateProcess appends ".exe" to a file name without an extension.
std::u16string WithDefaultExtension(std::u16string_view path) {
  std::u16string out(path);
  size_t slash = path.find_last_of(u"\\/");
  size_t nameStart = slash == std::u16string_view::npos ? 0 : slash + 1;
  if (path.find(u'.', nameStart) == std::u16string_view::npos) out += u".exe";
  return out;
}

}  // namespace

std::vector<std::u16string> ProgramPathCandidates(std::u16string_view commandLine) {
  std::vector<std::u16string> out;
  size_t start = 0;
  while (start < commandLine.size() && IsBlank(commandLine[start])) ++start;
  std::u16string_view text = commandLine.substr(start);
  if (text.empty()) return out;

  if (text.front() == u'"') {
    size_t close = text.find(u'"', 1);
    std::u16string_view inside =
        text.substr(1, close == std::u16string_view::npos ? std::u16string_view::npos : close - 1);
    if (!inside.empty()) out.push_back(WithDefaultExtension(inside));
    return out;
  }

  for (size_t i = 1; i < text.size(); ++i) {
    if (IsBlank(text[i]) && !IsBlank(text[i - 1])) {
      out.push_back(WithDefaultExtension(text.substr(0, i)));
    }
  }
  size_t end = text.size();
  while (end > 0 && IsBlank(text[end - 1])) --end;
  std::u16string whole = WithDefaultExtension(text.substr(0, end));
  if (out.empty() || out.back() != whole) out.push_back(std::move(whole));
  return out;
}
