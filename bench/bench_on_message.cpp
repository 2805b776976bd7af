// One request's round trip through the plug-in's message entry point: parse
// the framed 5-key request, dispatch to a trivial handler, serialise the
// reply into a host-owned buffer and release it. "allocs" counts the operator
// new calls of one round trip (the reply buffer itself comes from malloc).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "../tests/common/minimal_plugin.h"
#include "alloc_counter.h"
#include "framed_request.h"

namespace {

class BenchPlugin : public MinimalPlugin {
 public:
  BenchPlugin() { RegisterCommand(u"GetOPLandingPageInfo", &BenchPlugin::DoTrivial); }

  HRESULT DoTrivial(IOrbLibrary*, QuonValueSet* request, QuonValueSet* response) {
    response->SetUIntValue("Result", request->GetUIntValue("dllType") + 1);
    return 0;
  }
};

std::vector<uint8_t> FramedRequest() {
  QuonValueSet q;
  q.SetStringValue("Cmd", u"GetOPLandingPageInfo");
  q.SetUIntValue("dllType", 0);
  q.SetStringValue("dataType", u"Temperatue");
  q.SetValue("Index", new QuonValueSet::OrbValue(int32_t{3}));
  q.SetValue("Refresh", new QuonValueSet::OrbValue(true));
  return Framed(q);
}

// One OnMessage call with a host-style reply release.
HRESULT RoundTrip(BenchPlugin* plugin, const std::vector<uint8_t>& message) {
  uint8_t* reply = nullptr;
  uint64_t length = 0;
  HRESULT status = plugin->OnMessage(nullptr, message.data(), static_cast<uint32_t>(message.size()),
                                     &reply, &length);
  std::free(reply);
  return status;
}

void BM_OnMessageRoundTrip(benchmark::State& state) {
  BenchPlugin* plugin = new BenchPlugin;
  const std::vector<uint8_t> message = FramedRequest();
  for (auto _ : state) benchmark::DoNotOptimize(RoundTrip(plugin, message));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * message.size()));
  state.counters["allocs"] = AllocationsPerCall([&] { RoundTrip(plugin, message); });
  plugin->Release();
}
BENCHMARK(BM_OnMessageRoundTrip);

// The same without a handler: the "Unknown Command" path, for comparison.
void BM_OnMessageUnknownCommand(benchmark::State& state) {
  BenchPlugin* plugin = new BenchPlugin;
  QuonValueSet q;
  q.SetStringValue("Cmd", u"Nope");
  uint64_t size = q.GetSerializedSize();
  std::vector<uint8_t> message(kOrbHeaderSize + size, 0);
  message[0] = kOrbMessageRequest;
  q.Serialize(message.data() + kOrbHeaderSize, &size);
  for (auto _ : state) benchmark::DoNotOptimize(RoundTrip(plugin, message));
  state.counters["allocs"] = AllocationsPerCall([&] { RoundTrip(plugin, message); });
  plugin->Release();
}
BENCHMARK(BM_OnMessageUnknownCommand);

}  // namespace

BENCHMARK_MAIN();
