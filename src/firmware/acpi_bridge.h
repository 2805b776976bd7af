// The client side of the ACPI bridge (Win32-only): the eight exports, one
// per method of the out-of-process automation server "hwbridgeCom.hbdata",
// and the shared method call.
//
// Every export creates its own bridge object and releases it before it
// returns; the calling thread must have initialised COM. Each returns 1 for
// success and 0 for failure. Byte blocks travel as a one-dimensional
// SAFEARRAY of VT_I1 together with their length; what comes back is copied
// into the caller's buffer bounded by the length passed in and by the size of
// the array the server left.
#pragma once

#include <cstdint>

#include "support/win32.h"

#include <oaidl.h>
#include <wrl/client.h>

extern "C" {
uint32_t STDAPICALLTYPE AcpiInit();
uint32_t STDAPICALLTYPE AcpiGetItem(uint32_t itemId, uint32_t* value);
uint32_t STDAPICALLTYPE AcpiGetItemEx(uint32_t first, uint32_t second, uint32_t* value);
uint32_t STDAPICALLTYPE AcpiSetItem(uint32_t itemId, uint32_t value, uint32_t mode);
uint32_t STDAPICALLTYPE AcpiSetItemBuffer(uint32_t reserved, uint32_t selector, uint8_t* buffer,
                                          uint32_t* length);
uint32_t STDAPICALLTYPE AcpiMbif(uint8_t* buffer, uint32_t* length);
uint32_t STDAPICALLTYPE AcpiGGrp(uint32_t group, uint8_t* buffer, uint32_t* length);
uint32_t STDAPICALLTYPE AcpiCallMethod(uint32_t* methodId, uint8_t* buffer, uint32_t* length);
}

// Calls the automation method `name` of `object` with `count` arguments,
// each a VARIANT* (first argument first). The arguments are copied bit for
// bit and stay owned by the caller; `result` receives the method's result.
// Returns E_FAIL for a null object, the failure of GetIDsOfNames, else the
// HRESULT of Invoke. With DISPATCH_PROPERTYPUT the one named argument is
// DISPID_PROPERTYPUT.
HRESULT AutomationInvoke(WORD flags, VARIANT* result, IDispatch* object, LPCOLESTR name, int count,
                         ...);

// One bridge object for a run of calls (a group load of the item table):
// created at the first call, released when the session ends. The calls are
// AcpiGGrp and AcpiCallMethod on that object, with the same results; a
// session whose object cannot be created fails every call.
class AcpiBridgeSession {
 public:
  AcpiBridgeSession() = default;
  AcpiBridgeSession(const AcpiBridgeSession&) = delete;
  AcpiBridgeSession& operator=(const AcpiBridgeSession&) = delete;

  uint32_t GGrp(uint32_t group, uint8_t* buffer, uint32_t* length);
  uint32_t CallMethod(uint32_t methodId, uint8_t* buffer, uint32_t* length);

 private:
  IDispatch* Bridge();

  Microsoft::WRL::ComPtr<IDispatch> m_bridge;
  bool m_created = false;
};
