// Cost of GetActivePowerPlan through OnMessage under Wine (Win32-only; run by
// hand):
//
//   scripts/wine-run.sh build/windows/bench/windows/power_plan_bench.exe [calls]
//
// One request framed as a host frames it, parsed, dispatched, answered from
// the active scheme (the powrprof.dll stand-in beside the program reads it
// from the registry) and serialised back. The figure is the median of five
// runs, timed with QueryPerformanceCounter.
#include "support/win32.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "frame/pelorus.h"

namespace {

constexpr int kRuns = 5;

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
  IOrbPlugin* plugin = QueryLibrary(0);
  if (plugin == nullptr) return 1;

  QuonValueSet request;
  request.SetStringValue("Cmd", std::u16string(u"GetActivePowerPlan"));
  std::vector<uint8_t> message(kOrbHeaderSize, 0);
  message[0] = kOrbMessageRequest;
  message[1] = kOrbEndpointClients;
  uint64_t size = request.GetSerializedSize();
  message.resize(kOrbHeaderSize + size);
  request.Serialize(message.data() + kOrbHeaderSize, &size);

  std::vector<double> perCall;
  for (int run = 0; run < kRuns; ++run) {
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceCounter(&start);
    for (int i = 0; i < calls; ++i) {
      uint8_t* reply = nullptr;
      uint64_t length = 0;
      plugin->OnMessage(nullptr, message.data(), static_cast<uint32_t>(message.size()), &reply,
                        &length);
      std::free(reply);
    }
    QueryPerformanceCounter(&end);
    perCall.push_back(Seconds(start, end) * 1e6 / calls);
  }
  std::sort(perCall.begin(), perCall.end());
  const double median = perCall[perCall.size() / 2];
  std::printf("%-44s %10.1f us/call %12.0f calls/s\n", "GetActivePowerPlan through OnMessage",
              median, 1e6 / median);
  plugin->Release();
  return 0;
}
