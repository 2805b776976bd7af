// A throwaway plug-in for orbhost's tests, loaded through orbhost's real
// loader: the minimal plug-in on the portable base (../common/minimal_plugin.h)
// with a command that echoes its request, one that calls the host from many
// threads at once and one that forwards a request to the database plug-in, so
// a test can see exactly what orbhost does with it. Built twice: as a good
// plug-in and with another interface version (PROBE_INTERFACE_VERSION).
#include "support/win32.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "../common/minimal_plugin.h"

#ifndef PROBE_INTERFACE_VERSION
#define PROBE_INTERFACE_VERSION 0x50001
#endif

namespace {

using Value = QuonValueSet::OrbValue;

class Probe final : public MinimalPlugin {
 public:
  Probe(uint32_t inUserSession, HRESULT initializeResult)
      : MinimalPlugin(inUserSession), m_initializeResult(initializeResult) {
    RegisterCommand(u"Echo", &Probe::DoEcho);
    RegisterCommand(u"Storm", &Probe::DoStorm);
    RegisterCommand(u"ToDatabase", &Probe::DoToDatabase);
  }

  HRESULT STDMETHODCALLTYPE Initialize() override { return m_initializeResult; }

 private:
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
