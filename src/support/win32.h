// The one include wrapper for <windows.h> in product code (Win32-only).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#endif

#include <windows.h>

#include <string>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t");

// Views between the portable core's char16_t text and Win32's wchar_t (same bits).
inline const wchar_t* AsWide(const char16_t* s) {
  return reinterpret_cast<const wchar_t*>(s);
}
inline const wchar_t* AsWide(const std::u16string& s) {
  return reinterpret_cast<const wchar_t*>(s.c_str());
}
inline const char16_t* AsU16Text(const wchar_t* s) {
  return reinterpret_cast<const char16_t*>(s);
}
inline std::u16string ToU16(const std::wstring& s) {
  return std::u16string(reinterpret_cast<const char16_t*>(s.data()), s.size());
}
inline std::wstring ToWide(const std::u16string& s) {
  return std::wstring(reinterpret_cast<const wchar_t*>(s.data()), s.size());
}
