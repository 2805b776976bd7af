// A throwaway plug-in for orbhost's tests, loaded through orbhost's real
// loader. It honours the plug-in side of the host contract and offers a few
// commands that each drive one host callback, so a test can see exactly what
// orbhost does with it. Built three times: as a good plug-in, with another
// interface version (PROBE_INTERFACE_VERSION) and without QueryLibrary
// (PROBE_NO_QUERY_LIBRARY).
#include "support/win32.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "pelorus/orb_plugin.h"
#include "pelorus/value_set.h"

#ifndef PROBE_INTERFACE_VERSION
#define PROBE_INTERFACE_VERSION 0x50001
#endif

namespace {

using Value = QuonValueSet::OrbValue;

// {2E6B1F80-4D3A-4C59-8E17-A0B3C4D5E6F7}
constexpr GUID kProbeId =
    PELORUS_GUID(0x2E6B1F80, 0x4D3A, 0x4C59, 0x8E, 0x17, 0xA0, 0xB3, 0xC4, 0xD5, 0xE6, 0xF7);

std::vector<uint8_t> Frame(uint8_t type, uint8_t destination, const GUID& target,
                           const QuonValueSet& body) {
  OrbMessageHeader header{};
  header.type = type;
  header.source = kOrbEndpointService;
  header.destination = destination;
  header.marker = kOrbRequestMarker;
  header.target = target;
  uint64_t size = body.GetSerializedSize();
  std::vector<uint8_t> message(kOrbHeaderSize + size);
  std::memcpy(message.data(), &header, kOrbHeaderSize);
  body.Serialize(message.data() + kOrbHeaderSize, &size);
  return message;
}

class Probe final : public IOrbPlugin,
                    public IOrbEventHandlerEx2,
                    public IOrbLumenEventHandler,
                    public IOrbDependentAttribute,
                    public IOrbRLSEventHandler,
                    public IOrbDiagnosticsHandler,
                    public IOrbServiceMessageHandler {
 public:
  // IUnknown, shared by every interface.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    void* p = nullptr;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IOrbLibrary) ||
        IsEqualGUID(iid, IID_IOrbPlugin)) {
      p = static_cast<IOrbPlugin*>(this);
    } else if (IsEqualGUID(iid, IID_IOrbEventHandler) ||
               IsEqualGUID(iid, IID_IOrbEventHandlerEx1) ||
               IsEqualGUID(iid, IID_IOrbEventHandlerEx2)) {
      p = static_cast<IOrbEventHandlerEx2*>(this);
    } else if (IsEqualGUID(iid, IID_IOrbLumenEventHandler)) {
      p = static_cast<IOrbLumenEventHandler*>(this);
    } else if (IsEqualGUID(iid, IID_IOrbDependentAttribute)) {
      p = static_cast<IOrbDependentAttribute*>(this);
    } else if (IsEqualGUID(iid, IID_IOrbRLSEventHandler)) {
      p = static_cast<IOrbRLSEventHandler*>(this);
    } else if (IsEqualGUID(iid, IID_IOrbDiagnosticsHandler)) {
      p = static_cast<IOrbDiagnosticsHandler*>(this);
    } else if (IsEqualGUID(iid, IID_IOrbServiceMessageHandler)) {
      p = static_cast<IOrbServiceMessageHandler*>(this);
    }
    *out = p;
    if (!p) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  // IOrbLibrary
  void STDMETHODCALLTYPE GetId(GUID* id) override { *id = kProbeId; }
  void STDMETHODCALLTYPE GetFrameworkId(GUID* id) override { *id = GUID_OrbFramework; }
  HRESULT STDMETHODCALLTYPE GetName(OrbWChar* buffer, uint32_t* count) override {
    if (*count < 6) {
      *count = 6;
      return ORB_E_BUFFER_TOO_SMALL;
    }
    if (!buffer) return E_INVALIDARG;
    std::memcpy(buffer, L"Probe", 12);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDisplayName(OrbWChar* buffer, uint32_t* count) override {
    return GetName(buffer, count);
  }
  void STDMETHODCALLTYPE GetVersion(OrbVersion* v) override { *v = OrbVersion{1, 2, 3, 4}; }
  HRESULT STDMETHODCALLTYPE Initialize() override {
    Log(4, L"probe initialize %d", 1);
    return initializeResult_;
  }
  HRESULT STDMETHODCALLTYPE Uninitialize() override { return S_OK; }
  uint32_t STDMETHODCALLTYPE ReservedQuery1() override { return 0; }
  uint32_t STDMETHODCALLTYPE ReservedQuery2() override { return 0; }
  void STDMETHODCALLTYPE ReservedNotice() override {}

  // IOrbPlugin
  void STDMETHODCALLTYPE SetLogCallback(OrbLogCallback fn, void* context) override {
    log_ = fn, logContext_ = context;
  }
  HRESULT STDMETHODCALLTYPE OnMessage(IOrbLibrary*, const uint8_t* message, uint32_t length,
                                      uint8_t** reply, uint64_t* replyLength) override {
    QuonValueSet request, response;
    if (length >= kOrbHeaderSize) {
      uint64_t bodyLength = length - kOrbHeaderSize;
      request.Deserialize(message + kOrbHeaderSize, &bodyLength);
    }
    if (!message || message[0] == kOrbMessageNotification) {
      response.SetStringValue("Notified", std::u16string(u"yes"));
      response.SetValue("Source", new Value(uint32_t(message ? message[1] : 0)));
      Broadcast(kOrbEndpointClients, response);
      return S_OK;
    }
    const HRESULT status = Process(request, response);
    uint64_t size = response.GetSerializedSize();
    *reply = static_cast<uint8_t*>(std::malloc(size ? size : 1));
    response.Serialize(*reply, &size);
    *replyLength = size;
    return status;
  }
  void STDMETHODCALLTYPE SetSendCallback(OrbSendCallback fn, void* context) override {
    send_ = fn, sendContext_ = context;
  }
  uint32_t STDMETHODCALLTYPE ReservedQuery3() override { return 1; }
  uint32_t STDMETHODCALLTYPE ReservedQuery4() override { return 1; }
  uint32_t STDMETHODCALLTYPE ReservedQuery5() override { return 255; }
  uint32_t STDMETHODCALLTYPE ReservedQuery6() override { return 1; }
  uint32_t STDMETHODCALLTYPE ReservedQuery7() override { return 0; }
  HRESULT STDMETHODCALLTYPE ReservedCall1() override { return ORB_E_NOT_IMPLEMENTED; }
  HRESULT STDMETHODCALLTYPE ReservedCall2() override { return ORB_E_NOT_IMPLEMENTED; }
  void STDMETHODCALLTYPE SetBroadcastCallback(OrbBroadcastCallback fn, void* context) override {
    broadcast_ = fn, broadcastContext_ = context;
  }
  void STDMETHODCALLTYPE SetGetDataCallback(OrbGetDataCallback fn, void* context) override {
    getData_ = fn, getDataContext_ = context;
  }
  void STDMETHODCALLTYPE SetSetDataCallback(OrbSetDataCallback fn, void* context) override {
    setData_ = fn, setDataContext_ = context;
  }

  // Events: each one becomes a broadcast to the clients describing it.
  void STDMETHODCALLTYPE OnSessionChange(uint32_t code) override {
    EventBroadcast(u"SessionChange", code);
  }
  void STDMETHODCALLTYPE OnDeviceChange(uint32_t type, void*) override {
    EventBroadcast(u"DeviceChange", type);
  }
  void STDMETHODCALLTYPE OnPowerSettingChange(const GUID* setting, const void*,
                                              uint32_t length) override {
    EventBroadcast(u"PowerSettingChange", setting ? setting->Data1 : 0, length);
  }
  void STDMETHODCALLTYPE OnWindowsMessage(uint32_t message, uintptr_t wParam,
                                          intptr_t lParam) override {
    EventBroadcast(u"WindowsMessage", message, static_cast<uint32_t>(wParam),
                   static_cast<int64_t>(lParam));
  }
  void STDMETHODCALLTYPE SetEventCallback1(OrbEventCallback fn, void* c) override {
    Keep(0, fn, c);
  }
  void STDMETHODCALLTYPE SetEventCallback2(OrbEventCallback fn, void* c) override {
    Keep(1, fn, c);
  }
  void STDMETHODCALLTYPE SetEventCallback3(OrbEventCallback fn, void* c) override {
    Keep(2, fn, c);
  }
  void STDMETHODCALLTYPE SetEventCallback4(OrbEventCallback fn, void* c) override {
    Keep(3, fn, c);
  }
  void STDMETHODCALLTYPE SetEventCallback5(OrbEventCallback fn, void* c) override {
    Keep(4, fn, c);
  }
  void STDMETHODCALLTYPE ReservedEvent1() override {}
  void STDMETHODCALLTYPE OnUWPConnectionChange(BOOL connected) override {
    EventBroadcast(u"UWPConnectionChange", connected ? 1 : 0);
  }
  void STDMETHODCALLTYPE ReservedEvent2() override {}
  void STDMETHODCALLTYPE OnLumenMessage(const OrbLumenMessage* message) override {
    std::u16string text(reinterpret_cast<const char16_t*>(message->action.c_str()));
    for (const auto& [name, value] : message->attributes)
      text += u"|" + std::u16string(name.begin(), name.end()) + u"=" +
              reinterpret_cast<const char16_t*>(value.c_str());
    EventBroadcast(u"LumenMessage", 0, 0, 0, text);
  }
  uint32_t STDMETHODCALLTYPE GetDependencyCount() override { return 1; }
  const GUID* STDMETHODCALLTYPE GetDependencyIds() override { return &GUID_PelorusDependency; }
  void STDMETHODCALLTYPE OnRLSMessage(const OrbRLSMessage* message) override {
    EventBroadcast(u"RLSMessage", static_cast<uint32_t>(message->code), 0, 0,
                   reinterpret_cast<const char16_t*>(message->text.c_str()));
  }
  void STDMETHODCALLTYPE CollectDiagnostics(const OrbWChar* folder) override {
    EventBroadcast(u"CollectDiagnostics", 0, 0, 0, reinterpret_cast<const char16_t*>(folder));
  }
  void STDMETHODCALLTYPE OnServiceMessage(uint32_t id, uint32_t subCode,
                                          const QuonValueSet* data) override {
    QuonValueSet set;
    set.SetStringValue("Event", std::u16string(u"ServiceMessage"));
    set.SetValue("Code", new Value(id));
    set.SetValue("Second", new Value(subCode));
    if (data) set.CreateChild("Data")->CopyFrom(*data);
    Broadcast(kOrbEndpointClients, set);
  }

  HRESULT initializeResult_ = S_OK;

 private:
  template <typename... Args>
  void Log(uint32_t level, const wchar_t* format, Args... args) {
    if (log_) log_(logContext_, this, level, format, args...);
  }

  HRESULT Broadcast(uint8_t destination, const QuonValueSet& set) {
    if (!broadcast_) return ORB_E_NOT_AVAILABLE;
    const std::vector<uint8_t> message = Frame(kOrbMessageNotification, destination, GUID{}, set);
    return broadcast_(broadcastContext_, this, message.data(), message.size());
  }

  void EventBroadcast(const char16_t* name, uint32_t code, uint32_t second = 0, int64_t third = 0,
                      std::u16string text = {}) {
    QuonValueSet set;
    set.SetStringValue("Event", std::u16string(name));
    set.SetValue("Code", new Value(code));
    set.SetValue("Second", new Value(second));
    set.SetValue("Third", new Value(third));
    set.SetStringValue("Text", std::move(text));
    Broadcast(kOrbEndpointClients, set);
  }

  void Keep(int index, OrbEventCallback fn, void* context) {
    events_[index] = fn, eventContexts_[index] = context;
  }

  HRESULT Send(const GUID& target, uint8_t destination, const QuonValueSet& request,
               QuonValueSet& response) {
    if (!send_) return ORB_E_NOT_AVAILABLE;
    const std::vector<uint8_t> message = Frame(kOrbMessageRequest, destination, target, request);
    uint8_t* reply = nullptr;
    uint64_t replyLength = 0;
    const HRESULT status =
        send_(sendContext_, this, &target, message.data(), message.size(), &reply, &replyLength);
    if (replyLength) response.Deserialize(reply, &replyLength);
    std::free(reply);
    return status;
  }

  HRESULT Process(const QuonValueSet& request, QuonValueSet& response) {
    const std::u16string cmd = request.GetStringValue("Cmd");
    if (cmd == u"Echo") {
      response.CopyFrom(request);
      return S_OK;
    }
    if (cmd == u"Log") {
      const std::u16string text = request.GetStringValue("Text");
      Log(request.GetUIntValue("Level"), L"probe %s %d",
          reinterpret_cast<const wchar_t*>(text.c_str()), request.GetIntValue("Number"));
      return S_OK;
    }
    if (cmd == u"Print") {
      std::printf("probe printf line\n");
      std::fflush(stdout);
      DWORD written = 0;
      WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "probe handle line\n", 18, &written, nullptr);
      return S_OK;
    }
    if (cmd == u"Send") {
      uint32_t size = 0;
      const uint8_t* target = request.GetBinary("Target", &size);
      GUID id = kProbeId;
      if (target && size == sizeof(GUID)) std::memcpy(&id, target, sizeof id);
      const QuonValueSet* inner = request.GetChild("Request");
      QuonValueSet empty;
      QuonValueSet* reply = response.CreateChild("Reply");
      const uint32_t destination = request.Contains("Destination")
                                       ? request.GetUIntValue("Destination")
                                       : kOrbEndpointService;
      const HRESULT status =
          Send(id, static_cast<uint8_t>(destination), inner ? *inner : empty, *reply);
      response.SetValue("Status", new Value(static_cast<uint32_t>(status)));
      return S_OK;
    }
    if (cmd == u"Broadcast") {
      const QuonValueSet* message = request.GetChild("Message");
      QuonValueSet empty;
      const HRESULT status = Broadcast(static_cast<uint8_t>(request.GetUIntValue("Destination")),
                                       message ? *message : empty);
      response.SetValue("Status", new Value(static_cast<uint32_t>(status)));
      return S_OK;
    }
    if (cmd == u"Data") {
      const std::u16string name = request.GetStringValue("Name");
      const auto* wname = reinterpret_cast<const OrbWChar*>(name.c_str());
      uint32_t size = 0;
      const uint8_t* bytes = request.GetBinary("Bytes", &size);
      if (bytes && setData_) {
        response.SetValue(
            "SetStatus",
            new Value(static_cast<uint32_t>(
                setData_(setDataContext_, this, wname, request.GetUIntValue("Tag"), bytes, size))));
      }
      if (!getData_) return ORB_E_NOT_AVAILABLE;
      uint32_t tag = 0xDEADBEEF;
      uint64_t needed = 0;
      response.SetValue("QueryStatus", new Value(static_cast<uint32_t>(getData_(
                                           getDataContext_, this, wname, &tag, nullptr, &needed))));
      response.SetValue("Needed", new Value(needed));
      std::vector<uint8_t> buffer(needed + 4, 0xCC);
      uint64_t length = buffer.size();
      response.SetValue("GetStatus",
                        new Value(static_cast<uint32_t>(
                            getData_(getDataContext_, this, wname, &tag, buffer.data(), &length))));
      response.SetValue("Tag", new Value(tag));
      response.SetBinary("Bytes", buffer.data(), static_cast<uint32_t>(std::min(length, needed)));
      return S_OK;
    }
    if (cmd == u"Storm") {
      // Threads that broadcast, log and send at the same time.
      const uint32_t threads = request.GetUIntValue("Threads");
      const uint32_t count = request.GetUIntValue("Count");
      std::atomic<uint32_t> answered{0};
      std::vector<std::thread> workers;
      for (uint32_t t = 0; t < threads; ++t) {
        workers.emplace_back([this, t, count, &answered] {
          for (uint32_t i = 0; i < count; ++i) {
            QuonValueSet set, reply;
            set.SetValue("Thread", new Value(t));
            set.SetValue("Index", new Value(i));
            set.SetStringValue("Padding", std::u16string(200, u'x'));
            Broadcast(kOrbEndpointAll, set);
            Log(4, L"storm %d %d", static_cast<int>(t), static_cast<int>(i));
            QuonValueSet query;
            query.SetStringValue("Cmd", std::u16string(u"Query.ProductLine"));
            if (Send(GUID_OrbFramework, kOrbEndpointService, query, reply) == S_OK) ++answered;
          }
        });
      }
      for (auto& worker : workers) worker.join();
      response.SetValue("Answered", new Value(answered.load()));
      return S_OK;
    }
    if (cmd == u"FireEventCallbacks") {
      for (int i = 0; i < 5; ++i) {
        if (events_[i]) events_[i](eventContexts_[i], 100 + i, nullptr);
      }
      return S_OK;
    }
    response.SetStringValue("Error", std::u16string(u"Unknown Command"));
    return ORB_E_UNKNOWN_COMMAND;
  }

  std::atomic<ULONG> refs_{1};
  OrbLogCallback log_ = nullptr;
  void* logContext_ = nullptr;
  OrbSendCallback send_ = nullptr;
  void* sendContext_ = nullptr;
  OrbBroadcastCallback broadcast_ = nullptr;
  void* broadcastContext_ = nullptr;
  OrbGetDataCallback getData_ = nullptr;
  void* getDataContext_ = nullptr;
  OrbSetDataCallback setData_ = nullptr;
  void* setDataContext_ = nullptr;
  OrbEventCallback events_[5] = {};
  void* eventContexts_[5] = {};
};

}  // namespace

extern "C" __declspec(dllexport) uint32_t STDAPICALLTYPE QueryInterfaceVersion() {
  return PROBE_INTERFACE_VERSION;
}

#ifndef PROBE_NO_QUERY_LIBRARY
// A plug-in whose Initialize answers 1 when PROBE_INITIALIZE_FAILS is set in
// the environment, like Pelorus without its system-information library.
extern "C" __declspec(dllexport) IOrbPlugin* STDAPICALLTYPE QueryLibrary(uint32_t) {
  auto* probe = new Probe();
  if (GetEnvironmentVariableW(L"PROBE_INITIALIZE_FAILS", nullptr, 0) > 0)
    probe->initializeResult_ = 1;
  return probe;
}
#endif
