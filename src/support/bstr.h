// A small owner of a BSTR (Win32-only), for the conversions that go through
// OLE Automation strings: MinGW has no comsupp (_bstr_t).
//
// The owner frees its string with SysFreeString. Allocation failures raise
// ComError with E_OUTOFMEMORY, the one exception these conversions let out.
#pragma once

#include <stdexcept>
#include <utility>

#include "support/win32.h"

#include <oleauto.h>

// A failed COM operation, carrying its HRESULT.
class ComError : public std::runtime_error {
 public:
  explicit ComError(HRESULT hr) : std::runtime_error("COM error"), m_hr(hr) {}
  HRESULT Error() const noexcept { return m_hr; }

 private:
  HRESULT m_hr;
};

class UniqueBstr {
 public:
  UniqueBstr() noexcept = default;
  // Takes ownership of `value` (may be null).
  explicit UniqueBstr(BSTR value) noexcept : m_value(value) {}
  ~UniqueBstr() { SysFreeString(m_value); }
  UniqueBstr(UniqueBstr&& o) noexcept : m_value(std::exchange(o.m_value, nullptr)) {}
  UniqueBstr& operator=(UniqueBstr&& o) noexcept {
    if (this != &o) {
      SysFreeString(m_value);
      m_value = std::exchange(o.m_value, nullptr);
    }
    return *this;
  }
  UniqueBstr(const UniqueBstr&) = delete;
  UniqueBstr& operator=(const UniqueBstr&) = delete;

  // A copy of `text` up to its first NUL; throws ComError(E_OUTOFMEMORY).
  static UniqueBstr Copy(const wchar_t* text) {
    BSTR value = SysAllocString(text);
    if (value == nullptr) throw ComError(E_OUTOFMEMORY);
    return UniqueBstr(value);
  }
  // An uninitialised string of `length` characters (plus terminator).
  static UniqueBstr Allocate(UINT length) {
    BSTR value = SysAllocStringLen(nullptr, length);
    if (value == nullptr) throw ComError(E_OUTOFMEMORY);
    return UniqueBstr(value);
  }

  BSTR get() const noexcept { return m_value; }
  // Characters before the terminator (0 for a null string).
  UINT length() const noexcept { return SysStringLen(m_value); }

 private:
  BSTR m_value = nullptr;
};
