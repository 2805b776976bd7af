// UTF-8 <-> UTF-16 conversions. Portable; orbhost's JSON and command line are
// UTF-8, the value tree's texts UTF-16.
#pragma once

#include <string>
#include <string_view>

namespace orbhost {

// Malformed UTF-8 sequences become U+FFFD, one per offending byte.
std::u16string Utf8ToUtf16(std::string_view text);

// Unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

// True when every surrogate in text is part of a pair.
bool IsWellFormedUtf16(std::u16string_view text);

}  // namespace orbhost
