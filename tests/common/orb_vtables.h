// The plug-in's interfaces seen the way a C host sees them: plain structs of
// function pointers laid over the object's vtable. Tests call through these
// to prove each operation sits in its slot, independent of the C++ headers.
#pragma once

#include <cstdint>

#include "pelorus/orb_plugin.h"

struct OrbUnknownVtbl {
  HRESULT(STDMETHODCALLTYPE* QueryInterface)(void* self, const GUID* riid, void** ppv);
  ULONG(STDMETHODCALLTYPE* AddRef)(void* self);
  ULONG(STDMETHODCALLTYPE* Release)(void* self);
};

struct OrbPluginVtbl {
  OrbUnknownVtbl unknown;                                                                     // 1-3
  void(STDMETHODCALLTYPE* GetId)(void* self, GUID* id);                                       // 4
  void(STDMETHODCALLTYPE* GetFrameworkId)(void* self, GUID* id);                              // 5
  HRESULT(STDMETHODCALLTYPE* GetName)(void* self, OrbWChar* buffer, uint32_t* count);         // 6
  HRESULT(STDMETHODCALLTYPE* GetDisplayName)(void* self, OrbWChar* buffer, uint32_t* count);  // 7
  void(STDMETHODCALLTYPE* GetVersion)(void* self, OrbVersion* version);                       // 8
  HRESULT(STDMETHODCALLTYPE* Initialize)(void* self);                                         // 9
  HRESULT(STDMETHODCALLTYPE* Uninitialize)(void* self);                                       // 10
  uint32_t(STDMETHODCALLTYPE* ReservedQuery1)(void* self);                                    // 11
  uint32_t(STDMETHODCALLTYPE* ReservedQuery2)(void* self);                                    // 12
  void(STDMETHODCALLTYPE* ReservedNotice)(void* self);                                        // 13
  void(STDMETHODCALLTYPE* SetLogCallback)(void* self, OrbLogCallback fn, void* ctx);          // 14
  HRESULT(STDMETHODCALLTYPE* OnMessage)
  (void* self, void* caller, const uint8_t* message, uint32_t length, uint8_t** reply,
   uint64_t* replyLength);                                                              // 15
  void(STDMETHODCALLTYPE* SetSendCallback)(void* self, OrbSendCallback fn, void* ctx);  // 16
  uint32_t(STDMETHODCALLTYPE* ReservedQuery3)(void* self);                              // 17
  uint32_t(STDMETHODCALLTYPE* ReservedQuery4)(void* self);                              // 18
  uint32_t(STDMETHODCALLTYPE* ReservedQuery5)(void* self);                              // 19
  uint32_t(STDMETHODCALLTYPE* ReservedQuery6)(void* self);                              // 20
  uint32_t(STDMETHODCALLTYPE* ReservedQuery7)(void* self);                              // 21
  HRESULT(STDMETHODCALLTYPE* ReservedCall1)(void* self);                                // 22
  HRESULT(STDMETHODCALLTYPE* ReservedCall2)(void* self);                                // 23
  void(STDMETHODCALLTYPE* SetBroadcastCallback)(void* self, OrbBroadcastCallback fn,
                                                void* ctx);                                   // 24
  void(STDMETHODCALLTYPE* SetGetDataCallback)(void* self, OrbGetDataCallback fn, void* ctx);  // 25
  void(STDMETHODCALLTYPE* SetSetDataCallback)(void* self, OrbSetDataCallback fn, void* ctx);  // 26
};

struct OrbEventHandlerEx2Vtbl {
  OrbUnknownVtbl unknown;                                                          // 1-3
  void(STDMETHODCALLTYPE* OnSessionChange)(void* self, uint32_t code);             // 4
  void(STDMETHODCALLTYPE* OnDeviceChange)(void* self, uint32_t type, void* data);  // 5
  void(STDMETHODCALLTYPE* OnPowerSettingChange)(void* self, const GUID* setting, const void* data,
                                                uint32_t length);  // 6
  void(STDMETHODCALLTYPE* OnWindowsMessage)(void* self, uint32_t message, uintptr_t wParam,
                                            intptr_t lParam);                                // 7
  void(STDMETHODCALLTYPE* SetEventCallback[5])(void* self, OrbEventCallback fn, void* ctx);  // 8-12
  void(STDMETHODCALLTYPE* ReservedEvent1)(void* self);                                       // 13
  void(STDMETHODCALLTYPE* OnUWPConnectionChange)(void* self, BOOL connected);                // 14
  void(STDMETHODCALLTYPE* ReservedEvent2)(void* self);                                       // 15
};

struct OrbLumenEventHandlerVtbl {
  OrbUnknownVtbl unknown;
  void(STDMETHODCALLTYPE* OnLumenMessage)(void* self, const OrbLumenMessage* message);  // 4
};

struct OrbDependentAttributeVtbl {
  OrbUnknownVtbl unknown;
  uint32_t(STDMETHODCALLTYPE* GetDependencyCount)(void* self);   // 4
  const GUID*(STDMETHODCALLTYPE* GetDependencyIds)(void* self);  // 5
};

struct OrbRLSEventHandlerVtbl {
  OrbUnknownVtbl unknown;
  void(STDMETHODCALLTYPE* OnRLSMessage)(void* self, const OrbRLSMessage* message);  // 4
};

struct OrbDiagnosticsHandlerVtbl {
  OrbUnknownVtbl unknown;
  void(STDMETHODCALLTYPE* CollectDiagnostics)(void* self, const OrbWChar* folder);  // 4
};

struct OrbServiceMessageHandlerVtbl {
  OrbUnknownVtbl unknown;
  void(STDMETHODCALLTYPE* OnServiceMessage)(void* self, uint32_t id, uint32_t subCode,
                                            const QuonValueSet* data);  // 4
};

// The vtable of an interface pointer, as a C host reads it.
template <class Vtbl>
const Vtbl& VtblOf(void* object) {
  return **reinterpret_cast<Vtbl**>(object);
}
