// Win32-only: wide printf formatting with the Windows C runtime's rules, the
// ones the plug-in's log formats are written for ("%s" takes a wide string,
// "%S" a narrow one). MinGW's C99 printf family reads "%s" as narrow, so the
// text is formatted by msvcrt's own _vsnwprintf.
#pragma once

#include <cstdarg>
#include <string>

namespace orbhost {

// Formats like msvcrt's _vsnwprintf into a string of any length (a result
// longer than 1 MiB characters is cut there). A null format gives "".
std::wstring FormatCrt(const wchar_t* format, va_list args);
std::wstring FormatCrtArgs(const wchar_t* format, ...);

}  // namespace orbhost
