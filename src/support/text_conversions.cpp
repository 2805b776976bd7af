// Narrow and wide text conversions (Win32-only).
#include "support/text_conversions.h"

#include <cstdlib>
#include <new>

#include "support/bstr.h"
#include "support/win32.h"

wchar_t* AnsiToWide(const char* text) {
  if (text == nullptr) return nullptr;
  int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);  // terminator included
  if (length <= 0) return nullptr;
  wchar_t* out = new (std::nothrow) wchar_t[static_cast<size_t>(length) + 1];
  if (out == nullptr) return nullptr;
  if (MultiByteToWideChar(CP_ACP, 0, text, -1, out, length) != length) {
    delete[] out;
    return nullptr;
  }
  out[length] = L'\0';
  return out;
}

std::wstring QuoteToWide(const char* text) {
  std::string quoted = "'";
  quoted += text != nullptr ? text : "";
  quoted += "'";
  std::wstring out(quoted.size() + 1, L'\0');
  size_t converted = 0;
  if (mbstowcs_s(&converted, out.data(), out.size(), quoted.c_str(), _TRUNCATE) != 0) return {};
  out.resize(converted > 0 ? converted - 1 : 0);  // converted counts the terminator
  return out;
}

std::string WideToNarrowBstr(const std::wstring& text) {
  UniqueBstr wide = UniqueBstr::Copy(text.c_str());
  int length = static_cast<int>(wide.length());
  if (length == 0) return {};
  int bytes = WideCharToMultiByte(CP_ACP, 0, wide.get(), length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.get(), length, out.data(), bytes, nullptr, nullptr);
  return out;
}

std::wstring NarrowToWideBstr(const std::string& text) {
  const char* narrow = text.c_str();
  int length = MultiByteToWideChar(CP_ACP, 0, narrow, -1, nullptr, 0);  // terminator included
  if (length <= 1) return {};
  UniqueBstr wide = UniqueBstr::Allocate(static_cast<UINT>(length - 1));
  MultiByteToWideChar(CP_ACP, 0, narrow, -1, wide.get(), length);
  return std::wstring(wide.get(), wide.length());
}
