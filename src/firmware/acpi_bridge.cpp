// The ACPI bridge exports (Win32-only); see acpi_bridge.h.
#include "firmware/acpi_bridge.h"

#include <wrl/client.h>

#include <cstdarg>
#include <cstring>
#include <memory>
#include <new>

#include "support/win32_handles.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr wchar_t kBridgeProgId[] = L"hwbridgeCom.hbdata";
constexpr uint8_t kGroupRequestTag = 0xE1;

// Steps 1 and 2 of every export: the bridge object, or null.
ComPtr<IDispatch> CreateBridge() {
  CLSID clsid;
  if (FAILED(CLSIDFromProgID(kBridgeProgId, &clsid))) return nullptr;
  ComPtr<IDispatch> bridge;
  if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                              reinterpret_cast<void**>(bridge.GetAddressOf()))))
    return nullptr;
  return bridge;
}

VARIANT InNumber(uint32_t value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_UI4;
  v.ulVal = value;
  return v;
}

VARIANT InOutNumber(uint32_t* value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_UI4 | VT_BYREF;
  v.pulVal = reinterpret_cast<ULONG*>(value);
  return v;
}

VARIANT InOutBlock(VARIANT* array) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_VARIANT | VT_BYREF;
  v.pvarVal = array;
  return v;
}

// Step 3 of the byte-block exports: a VT_ARRAY|VT_I1 VARIANT holding a copy of
// the caller's `length` bytes; a group request first gets its 0xE1 tag in the
// caller's buffer. False (buffer untouched) when the array cannot be made.
bool FillArray(UniqueVariant& array, uint8_t* buffer, uint32_t length, bool groupRequest) {
  SAFEARRAYBOUND bound{length, 0};
  SAFEARRAY* data = SafeArrayCreate(VT_I1, 1, &bound);
  if (data == nullptr) return false;
  if (groupRequest) buffer[0] = kGroupRequestTag;
  array.get()->vt = VT_ARRAY | VT_I1;
  array.get()->parray = data;  // owned by the VARIANT from here on
  void* bytes = nullptr;
  if (length != 0 && SUCCEEDED(SafeArrayAccessData(data, &bytes))) {
    std::memcpy(bytes, buffer, length);
    SafeArrayUnaccessData(data);
  }
  return true;
}

// Step 5: copies what the server left back into the caller's buffer, at most
// `lengthAfter` bytes, and never more than the caller's buffer
// (`lengthBefore`) or the array hold.
void CopyBack(VARIANT* array, uint8_t* buffer, uint32_t lengthBefore, uint32_t lengthAfter) {
  if ((array->vt & VT_ARRAY) == 0 || (array->vt & VT_BYREF) != 0 || array->parray == nullptr ||
      SafeArrayGetDim(array->parray) != 1 || SafeArrayGetElemsize(array->parray) != 1)
    return;
  LONG low = 0, high = -1;
  if (FAILED(SafeArrayGetLBound(array->parray, 1, &low)) ||
      FAILED(SafeArrayGetUBound(array->parray, 1, &high)))
    return;
  const uint64_t available = high >= low ? static_cast<uint64_t>(high) - low + 1 : 0;
  uint64_t count = lengthAfter;
  if (count > lengthBefore) count = lengthBefore;
  if (count > available) count = available;
  void* bytes = nullptr;
  if (count == 0 || FAILED(SafeArrayAccessData(array->parray, &bytes))) return;
  std::memcpy(buffer, bytes, static_cast<size_t>(count));
  SafeArrayUnaccessData(array->parray);
}

// The byte-block exports: `leading` (may be null) is an in-number sent before
// the block, the block and its length follow. Result: the explicit clear of
// the array VARIANT.
uint32_t CallWithBlockOn(IDispatch* bridge, const wchar_t* method, const uint32_t* leading,
                         uint8_t* buffer, uint32_t* length, bool groupRequest) {
  if (length == nullptr || (buffer == nullptr && (*length != 0 || groupRequest))) return 0;
  if (bridge == nullptr) return 0;
  const uint32_t lengthBefore = *length;
  UniqueVariant array;
  if (!FillArray(array, buffer, lengthBefore, groupRequest)) return 0;

  UniqueVariant result;
  VARIANT block = InOutBlock(array.get());
  VARIANT size = InOutNumber(length);
  if (leading != nullptr) {
    VARIANT first = InNumber(*leading);
    AutomationInvoke(DISPATCH_METHOD, result.get(), bridge, method, 3, &first, &block, &size);
  } else {
    AutomationInvoke(DISPATCH_METHOD, result.get(), bridge, method, 2, &block, &size);
  }
  CopyBack(array.get(), buffer, lengthBefore, *length);
  return SUCCEEDED(array.Clear()) ? 1 : 0;
}

// The same on a bridge object of its own, released before the array is.
uint32_t CallWithBlock(const wchar_t* method, const uint32_t* leading, uint8_t* buffer,
                       uint32_t* length, bool groupRequest = false) {
  if (length == nullptr || (buffer == nullptr && (*length != 0 || groupRequest))) return 0;
  ComPtr<IDispatch> bridge = CreateBridge();
  if (!bridge) return 0;
  return CallWithBlockOn(bridge.Get(), method, leading, buffer, length, groupRequest);
}

}  // namespace

HRESULT AutomationInvoke(WORD flags, VARIANT* result, IDispatch* object, LPCOLESTR name, int count,
                         ...) {
  if (object == nullptr) return E_FAIL;
  if (count < 0) return E_INVALIDARG;
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;

  // The last argument goes first; the copies are bitwise, so ownership stays
  // with the caller and nothing here clears them.
  std::unique_ptr<VARIANT[]> arguments(new (std::nothrow) VARIANT[count + 1]);
  if (!arguments) return E_OUTOFMEMORY;
  std::memset(arguments.get(), 0, sizeof(VARIANT) * (count + 1));
  va_list list;
  va_start(list, count);
  for (int i = 0; i < count; ++i) {
    const VARIANT* argument = va_arg(list, VARIANT*);
    std::memcpy(&arguments[count - 1 - i], argument, sizeof(VARIANT));
  }
  va_end(list);

  DISPPARAMS params{};
  params.cArgs = static_cast<UINT>(count);
  params.rgvarg = arguments.get();
  DISPID named = DISPID_PROPERTYPUT;
  if (flags & DISPATCH_PROPERTYPUT) {
    params.cNamedArgs = 1;
    params.rgdispidNamedArgs = &named;
  }
  return object->Invoke(id, IID_NULL, LOCALE_SYSTEM_DEFAULT, flags, &params, result, nullptr,
                        nullptr);
}

extern "C" uint32_t STDAPICALLTYPE AcpiInit() {
  ComPtr<IDispatch> bridge = CreateBridge();
  if (!bridge) return 0;
  UniqueVariant result;
  HRESULT hr = AutomationInvoke(DISPATCH_METHOD, result.get(), bridge.Get(), L"iAcpiInit", 0);
  return SUCCEEDED(hr) ? 1 : 0;
}

extern "C" uint32_t STDAPICALLTYPE AcpiGetItem(uint32_t itemId, uint32_t* value) {
  if (value == nullptr) return 0;
  ComPtr<IDispatch> bridge = CreateBridge();
  if (!bridge) return 0;
  UniqueVariant result;
  VARIANT id = InNumber(itemId);
  VARIANT out = InOutNumber(value);
  HRESULT hr =
      AutomationInvoke(DISPATCH_METHOD, result.get(), bridge.Get(), L"iAcpiGetItem", 2, &id, &out);
  return SUCCEEDED(hr) ? 1 : 0;
}

extern "C" uint32_t STDAPICALLTYPE AcpiGetItemEx(uint32_t first, uint32_t second, uint32_t* value) {
  if (value == nullptr) return 0;
  ComPtr<IDispatch> bridge = CreateBridge();
  if (!bridge) return 0;
  UniqueVariant result;
  VARIANT a = InNumber(first);
  VARIANT b = InNumber(second);
  VARIANT out = InOutNumber(value);
  HRESULT hr = AutomationInvoke(DISPATCH_METHOD, result.get(), bridge.Get(), L"iAcpiGetItemEx", 3,
                                &a, &b, &out);
  return SUCCEEDED(hr) ? 1 : 0;
}

extern "C" uint32_t STDAPICALLTYPE AcpiSetItem(uint32_t itemId, uint32_t value, uint32_t mode) {
  ComPtr<IDispatch> bridge = CreateBridge();
  if (!bridge) return 0;
  UniqueVariant result;
  VARIANT id = InNumber(itemId);
  VARIANT v = InNumber(value);
  VARIANT m = InNumber(mode);
  HRESULT hr = AutomationInvoke(DISPATCH_METHOD, result.get(), bridge.Get(), L"iAcpiSetItem", 3,
                                &id, &v, &m);
  return SUCCEEDED(hr) ? 1 : 0;
}

extern "C" uint32_t STDAPICALLTYPE AcpiSetItemBuffer(uint32_t /*reserved*/, uint32_t selector,
                                                     uint8_t* buffer, uint32_t* length) {
  return CallWithBlock(L"iAcpiSetItemBuffer", &selector, buffer, length);
}

extern "C" uint32_t STDAPICALLTYPE AcpiMbif(uint8_t* buffer, uint32_t* length) {
  return CallWithBlock(L"iAcpiMbif", nullptr, buffer, length);
}

extern "C" uint32_t STDAPICALLTYPE AcpiGGrp(uint32_t group, uint8_t* buffer, uint32_t* length) {
  return CallWithBlock(L"iAcpiGGrp", &group, buffer, length, true);
}

extern "C" uint32_t STDAPICALLTYPE AcpiCallMethod(uint32_t* methodId, uint8_t* buffer,
                                                  uint32_t* length) {
  if (methodId == nullptr) return 0;
  const uint32_t id = *methodId;
  return CallWithBlock(L"iAcpiCallMethod", &id, buffer, length);
}

IDispatch* AcpiBridgeSession::Bridge() {
  if (!m_created) {
    m_created = true;
    m_bridge = CreateBridge();
  }
  return m_bridge.Get();
}

uint32_t AcpiBridgeSession::GGrp(uint32_t group, uint8_t* buffer, uint32_t* length) {
  if (length == nullptr || buffer == nullptr) return 0;
  return CallWithBlockOn(Bridge(), L"iAcpiGGrp", &group, buffer, length, true);
}

uint32_t AcpiBridgeSession::CallMethod(uint32_t methodId, uint8_t* buffer, uint32_t* length) {
  if (length == nullptr || (buffer == nullptr && *length != 0)) return 0;
  return CallWithBlockOn(Bridge(), L"iAcpiCallMethod", &methodId, buffer, length, false);
}
