// Conversions between narrow text (the system ANSI code page) and wide text
// (UTF-16) for the CPU-Z, landing-page and fan code (Win32-only).
#pragma once

#include <string>

// The text converted with the ANSI code page, in a new[]'d buffer the caller
// releases with delete[]; null when `text` is null or cannot be converted.
wchar_t* AnsiToWide(const char* text);

// "'" + text + "'", converted with the C runtime's current locale
// (mbstowcs_s); empty when the conversion fails.
std::wstring QuoteToWide(const char* text);

// Through a BSTR: the wide text up to its first NUL, converted to the ANSI
// code page. Throws ComError(E_OUTOFMEMORY) when memory runs out.
std::string WideToNarrowBstr(const std::wstring& text);

// Through a BSTR: the narrow text (ANSI code page, up to its first NUL)
// converted to wide text. Throws ComError(E_OUTOFMEMORY) when memory runs out.
std::wstring NarrowToWideBstr(const std::string& text);
