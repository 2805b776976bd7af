// The few COM basics the host contract is written in (IUnknown, GUID,
// HRESULT, ULONG, the calling-convention macros).
//
// On Windows they come from the SDK. Elsewhere this header declares them with
// fixed-width types of the same sizes (32-bit ULONG and HRESULT, 16-bit
// UTF-16 units), so the portable dispatch code builds natively for the
// sanitizers, the fuzzers and the benchmarks and agrees with the Windows build
// on every size that crosses the boundary.
#pragma once

#include <cstdint>
#include <cstring>

#ifdef _WIN32

#include <objbase.h>
#include <unknwn.h>

using OrbWChar = wchar_t;
static_assert(sizeof(wchar_t) == 2, "UTF-16 wchar_t expected");

#else  // portable build

using HRESULT = int32_t;
using ULONG = uint32_t;
using BOOL = int32_t;

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
using IID = GUID;
using REFIID = const IID&;
using REFGUID = const GUID&;

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
  return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}
inline bool operator==(REFGUID a, REFGUID b) {
  return IsEqualGUID(a, b);
}

#define STDMETHODCALLTYPE
#define STDAPICALLTYPE
#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOINTERFACE ((HRESULT)0x80004002u)
#define E_INVALIDARG ((HRESULT)0x80070057u)
#define E_POINTER ((HRESULT)0x80004003u)
#define E_OUTOFMEMORY ((HRESULT)0x8007000Eu)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
};

inline constexpr GUID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

using OrbWChar = char16_t;

#endif

static_assert(sizeof(GUID) == 16, "GUID is 16 bytes");
static_assert(sizeof(HRESULT) == 4 && sizeof(ULONG) == 4, "32-bit HRESULT and ULONG");
static_assert(sizeof(OrbWChar) == 2, "UTF-16 code units");
