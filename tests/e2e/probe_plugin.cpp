// A throwaway plug-in for orbhost's tests, loaded through orbhost's real
// loader: the minimal plug-in on the portable base (../common/minimal_plugin.h)
// with the six event interfaces and a few commands that each drive one host
// callback, so a test can see exactly what orbhost does with it. Every event
// and every notification becomes one broadcast to the clients that describes
// it. Built three times: as a good plug-in, with another interface version
// (PROBE_INTERFACE_VERSION) and without QueryLibrary (PROBE_NO_QUERY_LIBRARY).
#include "support/win32.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../common/minimal_plugin.h"

#ifndef PROBE_INTERFACE_VERSION
#define PROBE_INTERFACE_VERSION 0x50001
#endif

namespace {

using Value = QuonValueSet::OrbValue;

class Probe final : public MinimalPlugin,
                    public IOrbEventHandlerEx2,
                    public IOrbLumenEventHandler,
                    public IOrbDependentAttribute,
                    public IOrbRLSEventHandler,
                    public IOrbDiagnosticsHandler,
                    public IOrbServiceMessageHandler {
 public:
  Probe(uint32_t inUserSession, HRESULT initializeResult)
      : MinimalPlugin(inUserSession), m_initializeResult(initializeResult) {
    RegisterCommand(u"Echo", &Probe::DoEcho);
    RegisterCommand(u"Log", &Probe::DoLog);
    RegisterCommand(u"Print", &Probe::DoPrint);
    RegisterCommand(u"Send", &Probe::DoSend);
    RegisterCommand(u"Data", &Probe::DoData);
    RegisterCommand(u"Storm", &Probe::DoStorm);
    RegisterCommand(u"FireEventCallbacks", &Probe::DoFireEventCallbacks);
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    IOrbEventHandlerEx2* events = this;
    const std::pair<const GUID*, void*> interfaces[] = {
        {&IID_IOrbEventHandler, events},
        {&IID_IOrbEventHandlerEx1, events},
        {&IID_IOrbEventHandlerEx2, events},
        {&IID_IOrbLumenEventHandler, static_cast<IOrbLumenEventHandler*>(this)},
        {&IID_IOrbDependentAttribute, static_cast<IOrbDependentAttribute*>(this)},
        {&IID_IOrbRLSEventHandler, static_cast<IOrbRLSEventHandler*>(this)},
        {&IID_IOrbDiagnosticsHandler, static_cast<IOrbDiagnosticsHandler*>(this)},
        {&IID_IOrbServiceMessageHandler, static_cast<IOrbServiceMessageHandler*>(this)}};
    for (const auto& [id, p] : interfaces) {
      if (IsEqualGUID(iid, *id)) {
        *out = p;
        AddRef();
        return S_OK;
      }
    }
    return MinimalPlugin::QueryInterface(iid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return MinimalPlugin::AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return MinimalPlugin::Release(); }

  HRESULT STDMETHODCALLTYPE Initialize() override { return m_initializeResult; }
  HRESULT OnNotify(uint8_t source, QuonValueSet*) override {
    QuonValueSet set;
    set.SetStringValue("Notified", std::u16string(u"yes"));
    set.SetValue("Source", new Value(uint32_t{source}));
    return Broadcast(kOrbEndpointClients, &set);
  }

  // Events.
  void STDMETHODCALLTYPE OnSessionChange(uint32_t code) override { Event(u"SessionChange", code); }
  void STDMETHODCALLTYPE OnDeviceChange(uint32_t type, void*) override {
    Event(u"DeviceChange", type);
  }
  void STDMETHODCALLTYPE OnPowerSettingChange(const GUID* setting, const void*, uint32_t) override {
    Event(u"PowerSettingChange", setting ? setting->Data1 : 0);
  }
  void STDMETHODCALLTYPE OnWindowsMessage(uint32_t message, uintptr_t, intptr_t) override {
    Event(u"WindowsMessage", message);
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
    Event(u"UWPConnectionChange", connected ? 1 : 0);
  }
  void STDMETHODCALLTYPE ReservedEvent2() override {}
  void STDMETHODCALLTYPE OnLumenMessage(const OrbLumenMessage* message) override {
    std::u16string text(AsU16(message->action.c_str()));
    for (const auto& [name, value] : message->attributes)
      text += u"|" + std::u16string(name.begin(), name.end()) + u"=" + AsU16(value.c_str());
    Event(u"LumenMessage", 0, text);
  }
  uint32_t STDMETHODCALLTYPE GetDependencyCount() override { return 1; }
  const GUID* STDMETHODCALLTYPE GetDependencyIds() override { return &GUID_PelorusDependency; }
  void STDMETHODCALLTYPE OnRLSMessage(const OrbRLSMessage* message) override {
    Event(u"RLSMessage", static_cast<uint32_t>(message->code), AsU16(message->text.c_str()));
  }
  void STDMETHODCALLTYPE CollectDiagnostics(const OrbWChar* folder) override {
    Event(u"CollectDiagnostics", 0, AsU16(folder));
  }
  void STDMETHODCALLTYPE OnServiceMessage(uint32_t id, uint32_t subCode,
                                          const QuonValueSet* data) override {
    QuonValueSet set;
    set.SetStringValue("Event", std::u16string(u"ServiceMessage"));
    set.SetValue("Code", new Value(id));
    set.SetValue("Second", new Value(subCode));
    if (data) set.CreateChild("Data")->CopyFrom(*data);
    Broadcast(kOrbEndpointClients, &set);
  }

 private:
  void Event(const char16_t* name, uint32_t code, std::u16string text = {}) {
    QuonValueSet set;
    set.SetStringValue("Event", std::u16string(name));
    set.SetValue("Code", new Value(code));
    set.SetStringValue("Text", std::move(text));
    Broadcast(kOrbEndpointClients, &set);
  }
  void Keep(int index, OrbEventCallback fn, void* context) {
    m_events[index] = fn, m_eventContexts[index] = context;
  }

  HRESULT DoEcho(IOrbLibrary*, QuonValueSet* request, QuonValueSet* response) {
    response->CopyFrom(*request);
    return S_OK;
  }
  HRESULT DoLog(IOrbLibrary*, QuonValueSet* request, QuonValueSet*) {
    Log(request->GetUIntValue("Level"), u"probe %s %d", request->GetStringValue("Text"),
        request->GetIntValue("Number"));
    return S_OK;
  }
  HRESULT DoPrint(IOrbLibrary*, QuonValueSet*, QuonValueSet*) {
    std::printf("probe printf line\n");
    std::fflush(stdout);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "probe handle line\n", 18, &written, nullptr);
    return S_OK;
  }
  // "Request" sent to "Target" (this plug-in by default), the reply in "Reply".
  HRESULT DoSend(IOrbLibrary*, QuonValueSet* request, QuonValueSet* response) {
    uint32_t size = 0;
    const uint8_t* target = request->GetBinary("Target", &size);
    GUID id = CLSID_PelorusPlugin;
    if (target && size == sizeof(GUID)) std::memcpy(&id, target, sizeof id);
    QuonValueSet empty;
    QuonValueSet* inner = request->GetChild("Request");
    const HRESULT status = SendRequest(id, inner ? inner : &empty, response->CreateChild("Reply"));
    response->SetValue("Status", new Value(static_cast<uint32_t>(status)));
    return S_OK;
  }
  // Stores "Bytes" under "Name" (if given), then reads it back with a size query first.
  HRESULT DoData(IOrbLibrary*, QuonValueSet* request, QuonValueSet* response) {
    const std::u16string name = request->GetStringValue("Name");
    uint32_t size = 0;
    if (const uint8_t* bytes = request->GetBinary("Bytes", &size))
      SetSharedData(name.c_str(), 0, bytes, size);
    uint32_t tag = 0;
    uint64_t needed = 0;
    GetSharedData(name.c_str(), &tag, nullptr, &needed);
    std::vector<uint8_t> buffer(needed + 4, 0xCC);
    uint64_t length = buffer.size();
    GetSharedData(name.c_str(), &tag, buffer.data(), &length);
    response->SetBinary("Bytes", buffer.data(), static_cast<uint32_t>(std::min(length, needed)));
    return S_OK;
  }
  // Threads that broadcast, log and query at the same time.
  HRESULT DoStorm(IOrbLibrary*, QuonValueSet* request, QuonValueSet* response) {
    const uint32_t threads = request->GetUIntValue("Threads");
    const uint32_t count = request->GetUIntValue("Count");
    std::atomic<uint32_t> answered{0};
    std::vector<std::thread> workers;
    for (uint32_t t = 0; t < threads; ++t) {
      workers.emplace_back([this, t, count, &answered] {
        for (uint32_t i = 0; i < count; ++i) {
          QuonValueSet set, reply;
          set.SetValue("Thread", new Value(t));
          set.SetValue("Index", new Value(i));
          set.SetStringValue("Padding", std::u16string(200, u'x'));
          Broadcast(kOrbEndpointAll, &set);
          Log(4, u"storm %d %d", static_cast<int>(t), static_cast<int>(i));
          if (Query(u"ProductLine", &reply) == S_OK) ++answered;
        }
      });
    }
    for (auto& worker : workers) worker.join();
    response->SetValue("Answered", new Value(answered.load()));
    return S_OK;
  }
  HRESULT DoFireEventCallbacks(IOrbLibrary*, QuonValueSet*, QuonValueSet*) {
    for (int i = 0; i < 5; ++i) {
      if (m_events[i]) m_events[i](m_eventContexts[i], 100 + i, nullptr);
    }
    return S_OK;
  }

  HRESULT m_initializeResult;
  OrbEventCallback m_events[5] = {};
  void* m_eventContexts[5] = {};
};

}  // namespace

extern "C" __declspec(dllexport) uint32_t STDAPICALLTYPE QueryInterfaceVersion() {
  return PROBE_INTERFACE_VERSION;
}

#ifndef PROBE_NO_QUERY_LIBRARY
// Initialize answers 1 when PROBE_INITIALIZE_FAILS is set in the environment,
// like Pelorus without its system-information library.
extern "C" __declspec(dllexport) IOrbPlugin* STDAPICALLTYPE QueryLibrary(uint32_t inUserSession) {
  const bool fails = GetEnvironmentVariableW(L"PROBE_INITIALIZE_FAILS", nullptr, 0) > 0;
  return new Probe(inUserSession, fails ? 1 : S_OK);
}
#endif
