// BaseOrbPlugin: the host-facing plug-in object shared by every plug-in.
//
// It implements operations 1-26 of IOrbPlugin (identity, callbacks, framing),
// turns framed host messages into QuonValueSet trees and back, dispatches
// requests by their "Cmd" string to handlers registered by the concrete
// plug-in, and offers handlers the services that go back to the host
// (SendRequest, Query, Toast, Broadcast, shared data).
//
// Portable: the native build gets IUnknown/GUID/HRESULT from com_compat.h.
// Text is char16_t; OrbWChar (wchar_t on Windows) has the same bits.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "pelorus/orb_plugin.h"
#include "pelorus/value_set.h"

// Text helpers between the portable char16_t world and the host's OrbWChar.
inline const OrbWChar* AsOrbText(const char16_t* s) {
  return reinterpret_cast<const OrbWChar*>(s);
}
inline const char16_t* AsU16(const OrbWChar* s) {
  return reinterpret_cast<const char16_t*>(s);
}

class BaseOrbPlugin : public IOrbPlugin {
 public:
  using Handler = std::function<HRESULT(IOrbLibrary*, QuonValueSet*, QuonValueSet*)>;

  static constexpr const char16_t* kDefaultToastLogo =
      u"ms-appx:///CorvaneKiosk.Core/Assets/Corvane Kiosk_UWP_Crop/System/"
      u"quon_kc_system_file_ic.png";

  BaseOrbPlugin(const char16_t* name, const GUID& id, const GUID& frameworkId,
                const char16_t* displayName, const OrbVersion& version, uint32_t inUserSession);

  // --- IUnknown (1-3) ---
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // --- IOrbLibrary (4-13; 9-13 are left to the concrete plug-in) ---
  void STDMETHODCALLTYPE GetId(GUID* id) override;
  void STDMETHODCALLTYPE GetFrameworkId(GUID* id) override;
  HRESULT STDMETHODCALLTYPE GetName(OrbWChar* buffer, uint32_t* count) override;
  HRESULT STDMETHODCALLTYPE GetDisplayName(OrbWChar* buffer, uint32_t* count) override;
  void STDMETHODCALLTYPE GetVersion(OrbVersion* version) override;

  // --- IOrbPlugin (14-26; 17-20 are left to the concrete plug-in) ---
  void STDMETHODCALLTYPE SetLogCallback(OrbLogCallback fn, void* context) override;
  HRESULT STDMETHODCALLTYPE OnMessage(IOrbLibrary* caller, const uint8_t* message, uint32_t length,
                                      uint8_t** reply, uint64_t* replyLength) override;
  void STDMETHODCALLTYPE SetSendCallback(OrbSendCallback fn, void* context) override;
  uint32_t STDMETHODCALLTYPE ReservedQuery7() override;
  HRESULT STDMETHODCALLTYPE ReservedCall1() override;
  HRESULT STDMETHODCALLTYPE ReservedCall2() override;
  void STDMETHODCALLTYPE SetBroadcastCallback(OrbBroadcastCallback fn, void* context) override;
  void STDMETHODCALLTYPE SetGetDataCallback(OrbGetDataCallback fn, void* context) override;
  void STDMETHODCALLTYPE SetSetDataCallback(OrbSetDataCallback fn, void* context) override;

  // --- The base's own virtuals (27-29); the host does not call them ---
  virtual ~BaseOrbPlugin();
  virtual HRESULT ProcessRequest(IOrbLibrary* caller, QuonValueSet* request,
                                 QuonValueSet* response);
  virtual HRESULT OnNotify(uint8_t source, QuonValueSet* message);

  // --- Services for handlers ---
  // Binds a member handler of the concrete plug-in; replaces an earlier one of the same name.
  template <class T>
  void RegisterCommand(const char16_t* name,
                       HRESULT (T::*handler)(IOrbLibrary*, QuonValueSet*, QuonValueSet*)) {
    static_assert(std::is_base_of_v<BaseOrbPlugin, T>, "handler of a plug-in class");
    T* self = static_cast<T*>(this);
    m_commands[name] = [self, handler](IOrbLibrary* c, QuonValueSet* q, QuonValueSet* r) {
      return (self->*handler)(c, q, r);
    };
  }
  bool HasCommand(const std::u16string& name) const { return m_commands.count(name) != 0; }
  size_t CommandCount() const { return m_commands.size(); }

  HRESULT SendRequest(const GUID& target, QuonValueSet* request, QuonValueSet* response,
                      uint8_t destination);
  HRESULT SendRequest(const GUID& target, QuonValueSet* request, QuonValueSet* response) {
    return SendRequest(target, request, response, OwnEndpoint());
  }
  HRESULT Query(const char16_t* name, QuonValueSet* request, QuonValueSet* response);
  HRESULT Query(const char16_t* name, QuonValueSet* response);
  HRESULT Toast(const char16_t* title, const char16_t* content, const char16_t* logo);
  HRESULT Toast(const char16_t* title, const char16_t* content) {
    return Toast(title, content, kDefaultToastLogo);
  }
  HRESULT Broadcast(uint8_t destination, const QuonValueSet* set);
  HRESULT GetSharedData(const char16_t* name, uint32_t* tag, uint8_t* buffer, uint64_t* length);
  HRESULT SetSharedData(const char16_t* name, uint32_t tag, const uint8_t* data, uint64_t length);

  // Host log line; dropped while no log callback is set. Text arguments may be
  // char16_t pointers or std::u16string; they reach the host as wide strings.
  template <class... Args>
  void Log(uint32_t level, const char16_t* format, const Args&... args) const {
    OrbLogCallback fn = m_logCallback;
    if (fn != nullptr) {
      fn(m_logContext, const_cast<BaseOrbPlugin*>(this), level, AsOrbText(format), LogArg(args)...);
    }
  }

  uint8_t OwnEndpoint() const {
    return m_inUserSession != 0 ? kOrbEndpointUserSession : kOrbEndpointService;
  }
  uint32_t InUserSession() const { return m_inUserSession; }
  ULONG RefCount() const { return m_refCount.load(); }

 private:
  template <class A>
  static A LogArg(const A& a) {
    return a;
  }
  static const OrbWChar* LogArg(const char16_t* s) { return AsOrbText(s); }
  template <size_t N>
  static const OrbWChar* LogArg(const char16_t (&s)[N]) {
    return AsOrbText(s);
  }
  static const OrbWChar* LogArg(const std::u16string& s) { return AsOrbText(s.c_str()); }

  HRESULT CopyText(const char16_t* text, OrbWChar* buffer, uint32_t* count) const;

 protected:
  // Transparent hashing, so a request's command name is looked up as a view
  // of its payload, without copying it into a string.
  struct CommandNameHash {
    using is_transparent = void;
    size_t operator()(std::u16string_view name) const {
      return std::hash<std::u16string_view>{}(name);
    }
  };
  std::unordered_map<std::u16string, Handler, CommandNameHash, std::equal_to<>> m_commands;
  const char16_t* m_name;
  GUID m_id;
  GUID m_frameworkId;
  const char16_t* m_displayName;
  OrbVersion m_version;
  std::atomic<ULONG> m_refCount{1};
  OrbLogCallback m_logCallback = nullptr;
  void* m_logContext = nullptr;
  OrbSendCallback m_sendCallback = nullptr;
  void* m_sendContext = nullptr;
  OrbBroadcastCallback m_broadcastCallback = nullptr;
  void* m_broadcastContext = nullptr;
  OrbGetDataCallback m_getDataCallback = nullptr;
  void* m_getDataContext = nullptr;
  OrbSetDataCallback m_setDataCallback = nullptr;
  void* m_setDataContext = nullptr;
  uint32_t m_inUserSession;
};

// Builds a framed message: the 32-byte header followed by the set's wire form.
// Returns false when the set cannot be serialised (the vector is then empty).
bool BuildOrbMessage(const OrbMessageHeader& header, const QuonValueSet& body,
                     std::vector<uint8_t>* message);
