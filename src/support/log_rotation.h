// Naming rules of the diagnostic log: the rotation slot taken from the index
// file, the pattern that finds the file a slot held before, the rotated file
// name, and the log name built from the executable path and the command line.
//
// Portable: no OS calls. diag_log.cpp reads and writes the files; everything
// here is computation on texts, so it is tested natively.
//
// Texts: narrow names are in the system ANSI code page (the rotation works on
// narrow names, as the index file and the folder listing do); the executable
// path and the command line are UTF-16.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Paths and names are held in buffers of this many characters, terminator
// included: a name or path is at most kLogPathChars - 1 characters long.
constexpr size_t kLogPathChars = 260;

// Local date and time of a log line or of a rotated file's start.
struct LogStamp {
  int year;
  int month;  // 1-12
  int day;
  int hour;  // 0-23
  int minute;
  int second;
};

// The leading-digits conversion of the index file: optional leading white
// space, an optional sign, then decimal digits; anything else ends the
// number, and a text without digits is 0. Values beyond 32 bits saturate.
int32_t ParseLeadingInt(std::string_view text);

// The slot this start writes to, from the index file's content (the slot the
// previous start used). An empty content gives slot 1; otherwise
// (value + 1) mod (maxFiles + 1) in wrapping 32-bit arithmetic, with a
// remainder of 0 giving 1. With 7 slots: 1, 2, ..., 7, 1, ...; a stored 12
// gives 5. maxFiles must be at least 1 (with 0 the log is not rotated).
int32_t NextLogSlot(std::string_view indexContent, int32_t maxFiles);

// The ECMAScript pattern of the files a slot held: the log name as it is
// (its regular-expression characters keep their meaning), "\_", the slot as
// "%02d", then "_\d{14}\.log".
std::string SlotPattern(std::string_view logName, int32_t slot);

// The names among `names` that the slot's pattern matches in full. A log
// name that makes an invalid pattern matches nothing; this never throws.
std::vector<std::string> FilesOfSlot(std::string_view logName, int32_t slot,
                                     const std::vector<std::string>& names) noexcept;

// What follows the log name in a rotated file's name: "_%02d_" with the slot,
// the 14 digits YYYYMMDDhhmmss of the start, and ".log".
std::string RotatedLogSuffix(int32_t slot, const LogStamp& stamp);

// The executable's base name: the text after the last '\' (the whole path
// when there is none) up to the last '.' (to the end when there is none),
// cut to kLogPathChars - 1 characters.
std::u16string ExecutableBaseName(std::u16string_view path);

// The log-name suffix given on the command line: after "-logAnthorFile"
// there must be a space and more text; the spaces are skipped and the run up
// to the next space or the end is the suffix (cut to kLogPathChars - 1).
// Anything else gives an empty suffix.
std::u16string LogNameSuffix(std::u16string_view commandLine);

// Cuts a text to kLogPathChars - 1 characters, the size every name and path
// of the log must fit.
template <class CharT>
std::basic_string<CharT> CutToPathSize(std::basic_string<CharT> text) {
  if (text.size() > kLogPathChars - 1) text.resize(kLogPathChars - 1);
  return text;
}
