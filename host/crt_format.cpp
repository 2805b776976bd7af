// Win32-only: wide printf formatting through msvcrt's _vsnwprintf.
#include "crt_format.h"

#include "support/win32.h"

#include <vector>

namespace orbhost {
namespace {

using VsnwprintfFn = int(__cdecl*)(wchar_t*, size_t, const wchar_t*, va_list);

// msvcrt.dll is loaded in every MinGW process (the C runtime lives there);
// resolving the export by name bypasses any header redirection to C99 printf.
VsnwprintfFn MsvcrtVsnwprintf() {
  static const VsnwprintfFn fn = [] {
    HMODULE msvcrt = GetModuleHandleW(L"msvcrt.dll");
    return msvcrt ? reinterpret_cast<VsnwprintfFn>(
                        reinterpret_cast<void*>(GetProcAddress(msvcrt, "_vsnwprintf")))
                  : nullptr;
  }();
  return fn;
}

constexpr size_t kMaxChars = size_t(1) << 20;

}  // namespace

std::wstring FormatCrt(const wchar_t* format, va_list args) {
  const VsnwprintfFn vsnwprintf = MsvcrtVsnwprintf();
  if (!format) return {};
  if (!vsnwprintf) return format;  // cannot happen in a MinGW process; show the raw format
  std::vector<wchar_t> buffer(256);
  for (;;) {
    va_list copy;
    va_copy(copy, args);
    // msvcrt returns -1 when the text does not fit, and then may leave the
    // buffer unterminated; one unit is kept back for the terminator.
    const int written = vsnwprintf(buffer.data(), buffer.size() - 1, format, copy);
    va_end(copy);
    if (written >= 0) return std::wstring(buffer.data(), static_cast<size_t>(written));
    if (buffer.size() >= kMaxChars) {
      buffer.back() = L'\0';
      return std::wstring(buffer.data(), buffer.size() - 1);
    }
    buffer.resize(buffer.size() * 4);
  }
}

std::wstring FormatCrtArgs(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring text = FormatCrt(format, args);
  va_end(args);
  return text;
}

}  // namespace orbhost
