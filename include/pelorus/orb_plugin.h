// The host contract of an Orb plug-in: interfaces, callbacks, message
// framing, status codes and identifiers. Shared by the plug-in, hosts
// (orbhost) and tests.
//
// Lifecycle and ownership
//  1. The host loads the library and calls QueryInterfaceVersion() first; it
//     must equal kOrbInterfaceVersion, or the host must not call anything else.
//  2. QueryLibrary(inUserSession) creates one plug-in object with a reference
//     count of 1 and every callback empty; it returns nullptr only when the
//     object cannot be allocated. inUserSession is 1 in the instance that runs
//     in the logged-on user's session, 0 in the service.
//  3. The host sets the five callbacks (any time, any order; each setter
//     replaces the earlier pair) and obtains the event interfaces with
//     QueryInterface; every interface shares the object's one reference count.
//  4. Initialize(), then requests (OnMessage) and events from any host thread,
//     concurrently; Uninitialize() stops the plug-in's loop threads and waits
//     for them; the last Release() destroys the object.
//  5. Replies: OnMessage hands back a buffer allocated with the C runtime's
//     malloc, released by the host with free. The other way round, replies to
//     the send callback must be malloc'ed by the host: the plug-in frees them.
//  6. Nothing throws across this boundary; every failure is a status code.
//
// Interface versions
//  0x50001  current: operations 1-26 of IOrbPlugin, six event interfaces.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "pelorus/com_compat.h"

class QuonValueSet;

inline constexpr uint32_t kOrbInterfaceVersion = 0x50001;

// ---------------------------------------------------------------------------
// Status codes
// ---------------------------------------------------------------------------
#define ORB_E_NOT_IMPLEMENTED ((HRESULT)0xA0800000u)
#define ORB_E_BUFFER_TOO_SMALL ((HRESULT)0xA0800001u)
#define ORB_E_NOT_AVAILABLE ((HRESULT)0xA0800005u)
#define ORB_E_UNKNOWN_COMMAND ((HRESULT)0xA0800010u)

// ---------------------------------------------------------------------------
// Message framing: a 32-byte header, then the wire form of one QuonValueSet.
// A reply is the bare wire form of the response set, without a header.
// ---------------------------------------------------------------------------
inline constexpr uint8_t kOrbMessageRequest = 0xE1;
inline constexpr uint8_t kOrbMessageNotification = 0xE4;
inline constexpr uint8_t kOrbRequestMarker = 2;  // byte 3 of requests the plug-in sends

inline constexpr uint8_t kOrbEndpointClients = 1;
inline constexpr uint8_t kOrbEndpointService = 2;
inline constexpr uint8_t kOrbEndpointUserSession = 4;
inline constexpr uint8_t kOrbEndpointAll = 255;

#pragma pack(push, 1)
struct OrbMessageHeader {
  uint8_t type;         // kOrbMessageRequest or kOrbMessageNotification
  uint8_t source;       // source endpoint
  uint8_t destination;  // destination endpoint
  uint8_t marker;       // kOrbRequestMarker in requests the plug-in sends
  uint8_t reserved[12];
  GUID target;  // target identifier, in its in-memory byte order
};
#pragma pack(pop)
static_assert(sizeof(OrbMessageHeader) == 32, "the message header is 32 bytes");
inline constexpr uint32_t kOrbHeaderSize = sizeof(OrbMessageHeader);

// ---------------------------------------------------------------------------
// Identifiers
// ---------------------------------------------------------------------------
#define PELORUS_GUID(d1, d2, d3, b0, b1, b2, b3, b4, b5, b6, b7) \
  GUID {                                                         \
    d1, d2, d3, {                                                \
      b0, b1, b2, b3, b4, b5, b6, b7                             \
    }                                                            \
  }

// {7D3F2A10-5C4B-4E21-9A6D-1B2C3D4E5Fxx}: the plug-in family's identifiers.
#define PELORUS_FAMILY_GUID(last) \
  PELORUS_GUID(0x7D3F2A10, 0x5C4B, 0x4E21, 0x9A, 0x6D, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, last)

inline constexpr GUID CLSID_PelorusPlugin = PELORUS_FAMILY_GUID(0x01);
inline constexpr GUID GUID_OrbFramework = PELORUS_FAMILY_GUID(0x02);
inline constexpr GUID GUID_OrbTestPeer = PELORUS_FAMILY_GUID(0x03);  // SendTest's peer
inline constexpr GUID GUID_PelorusDependency = PELORUS_FAMILY_GUID(0x04);
inline constexpr GUID IID_IOrbLibrary = PELORUS_FAMILY_GUID(0x11);
inline constexpr GUID IID_IOrbPlugin = PELORUS_FAMILY_GUID(0x12);
inline constexpr GUID IID_IOrbEventHandler = PELORUS_FAMILY_GUID(0x21);
inline constexpr GUID IID_IOrbEventHandlerEx1 = PELORUS_FAMILY_GUID(0x22);
inline constexpr GUID IID_IOrbEventHandlerEx2 = PELORUS_FAMILY_GUID(0x23);
inline constexpr GUID IID_IOrbLumenEventHandler = PELORUS_FAMILY_GUID(0x24);
inline constexpr GUID IID_IOrbDependentAttribute = PELORUS_FAMILY_GUID(0x25);
inline constexpr GUID IID_IOrbRLSEventHandler = PELORUS_FAMILY_GUID(0x26);
inline constexpr GUID IID_IOrbDiagnosticsHandler = PELORUS_FAMILY_GUID(0x27);
inline constexpr GUID IID_IOrbServiceMessageHandler = PELORUS_FAMILY_GUID(0x28);
// {6f2c9a41-0d3e-4b7a-9c85-e1f04d2b7a63}: the database service plug-in.
inline constexpr GUID GUID_OrbDatabasePlugin =
    PELORUS_GUID(0x6f2c9a41, 0x0d3e, 0x4b7a, 0x9c, 0x85, 0xe1, 0xf0, 0x4d, 0x2b, 0x7a, 0x63);

// ---------------------------------------------------------------------------
// Host callbacks. Each receives its context first and the plug-in second.
// ---------------------------------------------------------------------------
struct IOrbPlugin;

// Log levels the plug-in uses.
inline constexpr uint32_t kOrbLogException = 1;
inline constexpr uint32_t kOrbLogError = 2;
inline constexpr uint32_t kOrbLogInfo = 4;
inline constexpr uint32_t kOrbLogProgress = 5;
inline constexpr uint32_t kOrbLogTrace = 6;

// format follows the Windows C runtime's wide printf rules: "%s" takes a wide
// string. Hosts format with msvcrt's _vsnwprintf.
typedef void(STDMETHODCALLTYPE* OrbLogCallback)(void* context, IOrbPlugin* plugin, uint32_t level,
                                                const OrbWChar* format, ...);
// Delivers a framed request to target. A reply of nonzero length is the bare
// wire form of the response, allocated with malloc; the plug-in frees it.
typedef HRESULT(STDMETHODCALLTYPE* OrbSendCallback)(void* context, IOrbPlugin* plugin,
                                                    const GUID* target, const uint8_t* message,
                                                    uint64_t length, uint8_t** reply,
                                                    uint64_t* replyLength);
// Delivers a framed message to the endpoint in its header's destination byte.
typedef HRESULT(STDMETHODCALLTYPE* OrbBroadcastCallback)(void* context, IOrbPlugin* plugin,
                                                         const uint8_t* message, uint64_t length);
// Size-query rule: when buffer is null or *length too small, *length is set to
// the size needed and ORB_E_BUFFER_TOO_SMALL returned.
typedef HRESULT(STDMETHODCALLTYPE* OrbGetDataCallback)(void* context, IOrbPlugin* plugin,
                                                       const OrbWChar* name, uint32_t* tag,
                                                       uint8_t* buffer, uint64_t* length);
typedef HRESULT(STDMETHODCALLTYPE* OrbSetDataCallback)(void* context, IOrbPlugin* plugin,
                                                       const OrbWChar* name, uint32_t tag,
                                                       const uint8_t* data, uint64_t length);
// Event callbacks the host may hand in (kept, never called by this plug-in).
typedef HRESULT(STDMETHODCALLTYPE* OrbEventCallback)(void* context, uint32_t event, void* data);

struct OrbVersion {
  uint32_t major;
  uint32_t minor;
  uint32_t build;
  uint32_t revision;
};

// ---------------------------------------------------------------------------
// The plug-in interface. The order of operations is the binary interface:
// 1-3 IUnknown, 4-13 IOrbLibrary, 14-26 IOrbPlugin. No virtual destructor.
// ---------------------------------------------------------------------------
struct IOrbLibrary : public IUnknown {
  virtual void STDMETHODCALLTYPE GetId(GUID* id) = 0;                                       // 4
  virtual void STDMETHODCALLTYPE GetFrameworkId(GUID* id) = 0;                              // 5
  virtual HRESULT STDMETHODCALLTYPE GetName(OrbWChar* buffer, uint32_t* count) = 0;         // 6
  virtual HRESULT STDMETHODCALLTYPE GetDisplayName(OrbWChar* buffer, uint32_t* count) = 0;  // 7
  virtual void STDMETHODCALLTYPE GetVersion(OrbVersion* version) = 0;                       // 8
  virtual HRESULT STDMETHODCALLTYPE Initialize() = 0;                                       // 9
  virtual HRESULT STDMETHODCALLTYPE Uninitialize() = 0;                                     // 10
  virtual uint32_t STDMETHODCALLTYPE ReservedQuery1() = 0;                                  // 11
  virtual uint32_t STDMETHODCALLTYPE ReservedQuery2() = 0;                                  // 12
  virtual void STDMETHODCALLTYPE ReservedNotice() = 0;                                      // 13
};

struct IOrbPlugin : public IOrbLibrary {
  virtual void STDMETHODCALLTYPE SetLogCallback(OrbLogCallback fn, void* context) = 0;  // 14
  virtual HRESULT STDMETHODCALLTYPE OnMessage(IOrbLibrary* caller, const uint8_t* message,
                                              uint32_t length, uint8_t** reply,
                                              uint64_t* replyLength) = 0;                 // 15
  virtual void STDMETHODCALLTYPE SetSendCallback(OrbSendCallback fn, void* context) = 0;  // 16
  virtual uint32_t STDMETHODCALLTYPE ReservedQuery3() = 0;                                // 17
  virtual uint32_t STDMETHODCALLTYPE ReservedQuery4() = 0;                                // 18
  virtual uint32_t STDMETHODCALLTYPE ReservedQuery5() = 0;                                // 19
  virtual uint32_t STDMETHODCALLTYPE ReservedQuery6() = 0;                                // 20
  virtual uint32_t STDMETHODCALLTYPE ReservedQuery7() = 0;                                // 21
  virtual HRESULT STDMETHODCALLTYPE ReservedCall1() = 0;                                  // 22
  virtual HRESULT STDMETHODCALLTYPE ReservedCall2() = 0;                                  // 23
  virtual void STDMETHODCALLTYPE SetBroadcastCallback(OrbBroadcastCallback fn,
                                                      void* context) = 0;  // 24
  virtual void STDMETHODCALLTYPE SetGetDataCallback(OrbGetDataCallback fn,
                                                    void* context) = 0;  // 25
  virtual void STDMETHODCALLTYPE SetSetDataCallback(OrbSetDataCallback fn,
                                                    void* context) = 0;  // 26
};

// ---------------------------------------------------------------------------
// Event interfaces. Each starts with IUnknown's three operations, which
// forward to the plug-in object. None returns a result to the host.
// ---------------------------------------------------------------------------
struct IOrbEventHandler : public IUnknown {
  virtual void STDMETHODCALLTYPE OnSessionChange(uint32_t eventCode) = 0;             // 4
  virtual void STDMETHODCALLTYPE OnDeviceChange(uint32_t eventType, void* data) = 0;  // 5
  virtual void STDMETHODCALLTYPE OnPowerSettingChange(const GUID* setting, const void* data,
                                                      uint32_t length) = 0;  // 6
  virtual void STDMETHODCALLTYPE OnWindowsMessage(uint32_t message, uintptr_t wParam,
                                                  intptr_t lParam) = 0;  // 7
};

struct IOrbEventHandlerEx1 : public IOrbEventHandler {
  virtual void STDMETHODCALLTYPE SetEventCallback1(OrbEventCallback fn, void* context) = 0;  // 8
  virtual void STDMETHODCALLTYPE SetEventCallback2(OrbEventCallback fn, void* context) = 0;  // 9
  virtual void STDMETHODCALLTYPE SetEventCallback3(OrbEventCallback fn, void* context) = 0;  // 10
  virtual void STDMETHODCALLTYPE SetEventCallback4(OrbEventCallback fn, void* context) = 0;  // 11
  virtual void STDMETHODCALLTYPE SetEventCallback5(OrbEventCallback fn, void* context) = 0;  // 12
};

struct IOrbEventHandlerEx2 : public IOrbEventHandlerEx1 {
  virtual void STDMETHODCALLTYPE ReservedEvent1() = 0;                       // 13
  virtual void STDMETHODCALLTYPE OnUWPConnectionChange(BOOL connected) = 0;  // 14
  virtual void STDMETHODCALLTYPE ReservedEvent2() = 0;                       // 15
};

// Lighting message: an action and attributes ordered by name.
struct OrbLumenMessage {
  std::basic_string<OrbWChar> action;
  std::map<std::string, std::basic_string<OrbWChar>> attributes;
};

struct OrbRLSMessage {
  int32_t code;
  std::basic_string<OrbWChar> text;
};

struct IOrbLumenEventHandler : public IUnknown {
  virtual void STDMETHODCALLTYPE OnLumenMessage(const OrbLumenMessage* message) = 0;  // 4
};

struct IOrbDependentAttribute : public IUnknown {
  virtual uint32_t STDMETHODCALLTYPE GetDependencyCount() = 0;   // 4
  virtual const GUID* STDMETHODCALLTYPE GetDependencyIds() = 0;  // 5
};

struct IOrbRLSEventHandler : public IUnknown {
  virtual void STDMETHODCALLTYPE OnRLSMessage(const OrbRLSMessage* message) = 0;  // 4
};

struct IOrbDiagnosticsHandler : public IUnknown {
  virtual void STDMETHODCALLTYPE CollectDiagnostics(const OrbWChar* destinationFolder) = 0;  // 4
};

struct IOrbServiceMessageHandler : public IUnknown {
  virtual void STDMETHODCALLTYPE OnServiceMessage(uint32_t messageId, uint32_t subCode,
                                                  const QuonValueSet* data) = 0;  // 4
};

// ---------------------------------------------------------------------------
// Exports (undecorated names).
// ---------------------------------------------------------------------------
typedef IOrbPlugin*(STDAPICALLTYPE* PFN_QueryLibrary)(uint32_t inUserSession);
typedef uint32_t(STDAPICALLTYPE* PFN_QueryInterfaceVersion)();
// The installer's clean-up, callable without a plug-in object: removes the
// update-client registration and, when the older utility suite is gone,
// unregisters the fan-control service. `progress` (may be null) receives each
// progress line synchronously, "Start OnUninstall" first and "Uninstall
// Return True" or "Uninstall Return False" last. Returns 1 on success, 0 on
// failure.
typedef void(STDAPICALLTYPE* OrbUninstallProgress)(const OrbWChar* line);
typedef int32_t(STDAPICALLTYPE* PFN_OnUninstall)(OrbUninstallProgress progress);
