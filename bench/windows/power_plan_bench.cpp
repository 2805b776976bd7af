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

#include "plugin/pelorus.h"
#include "qpc_harness.h"

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
  IOrbPlugin* plugin = QueryLibrary(0);
  if (plugin == nullptr) return 1;

  QuonValueSet request;
  request.SetStringValue("Cmd", std::u16string(u"GetActivePowerPlan"));
  const std::vector<uint8_t> message = Framed(request);
  std::vector<double> perCall;
  for (int run = 0; run < qpc::kRuns; ++run)
    perCall.push_back(qpc::MicrosecondsPerMessage(plugin, message, calls));
  const double median = qpc::Median(std::move(perCall));
  std::printf("%-44s %10.1f us/call %12.0f calls/s\n", "GetActivePowerPlan through OnMessage",
              median, 1e6 / median);
  plugin->Release();
  return 0;
}
