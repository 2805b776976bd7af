// A throwaway plug-in for orbhost's tests, loaded through orbhost's real
// loader: the minimal plug-in on the portable base (../common/minimal_plugin.h)
// with the six event interfaces, a command that echoes its request, one that
// calls the host from many threads at once and one that forwards a request to
// the database plug-in, so a test can see exactly what orbhost does with it.
// Each event the tests deliver becomes one broadcast to the clients that
// describes it. Built twice: as a good plug-in and with another interface
// version (PROBE_INTERFACE_VERSION).
#include "support/win32.h"

#include <atomic>
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
    RegisterCommand(u"Storm", &Probe::DoStorm);
    RegisterCommand(u"ToDatabase", &Probe::DoToDatabase);
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

  // Events.
  void STDMETHODCALLTYPE OnSessionChange(uint32_t code) override { Event(u"SessionChange", code); }
  void STDMETHODCALLTYPE OnDeviceChange(uint32_t, void*) override {}
  void STDMETHODCALLTYPE OnPowerSettingChange(const GUID*, const void*, uint32_t) override {}
  void STDMETHODCALLTYPE OnWindowsMessage(uint32_t message, uintptr_t, intptr_t) override {
    Event(u"WindowsMessage", message);
  }
  void STDMETHODCALLTYPE SetEventCallback1(OrbEventCallback, void*) override {}
  void STDMETHODCALLTYPE SetEventCallback2(OrbEventCallback, void*) override {}
  void STDMETHODCALLTYPE SetEventCallback3(OrbEventCallback, void*) override {}
  void STDMETHODCALLTYPE SetEventCallback4(OrbEventCallback, void*) override {}
  void STDMETHODCALLTYPE SetEventCallback5(OrbEventCallback, void*) override {}
  void STDMETHODCALLTYPE ReservedEvent1() override {}
  void STDMETHODCALLTYPE OnUWPConnectionChange(BOOL) override {}
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

  HRESULT DoEcho(IOrbLibrary*, QuonValueSet* request, QuonValueSet* response) {
    response->CopyFrom(*request);
    return S_OK;
  }
  // Sends the child "Request" to the database plug-in and answers its reply
  // and status, so tests can put any request to orbhost's database stand-in.
  HRESULT DoToDatabase(IOrbLibrary*, QuonValueSet* request, QuonValueSet* response) {
    QuonValueSet forwarded;
    if (const QuonValueSet* inner = request->GetChild("Request")) forwarded.CopyFrom(*inner);
    return SendRequest(GUID_OrbDatabasePlugin, &forwarded, response);
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

  HRESULT m_initializeResult;
};

}  // namespace

extern "C" __declspec(dllexport) uint32_t STDAPICALLTYPE QueryInterfaceVersion() {
  return PROBE_INTERFACE_VERSION;
}

// Initialize answers 1 when PROBE_INITIALIZE_FAILS is set in the environment,
// like Pelorus without its system-information library.
extern "C" __declspec(dllexport) IOrbPlugin* STDAPICALLTYPE QueryLibrary(uint32_t inUserSession) {
  const bool fails = GetEnvironmentVariableW(L"PROBE_INITIALIZE_FAILS", nullptr, 0) > 0;
  return new Probe(inUserSession, fails ? 1 : S_OK);
}
