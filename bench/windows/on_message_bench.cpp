// One request's round trip through a real plug-in DLL under Wine (run by hand):
//
//   scripts/wine-run.sh build/windows/bench/windows/on_message_bench.exe [calls]
//
// Loads Pelorus.dll and minimal_plugin.dll (the portable base alone) as a host
// does, with a log callback that drops every line, and sends both the same
// framed requests through OnMessage, releasing each reply with free:
//  - the 5-key request of the native benchmark, under a command that neither
//    plug-in registers, so both answer it from the dispatch path alone;
//  - an unknown command: a request that holds only "Cmd".
// Each figure is the median over kRuns runs of `calls` calls, timed with
// QueryPerformanceCounter; the order of the four (plug-in, request) pairs
// rotates from run to run.
#include "support/win32.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "qpc_harness.h"

namespace {

constexpr int kRuns = 15;

void STDMETHODCALLTYPE DropLogLine(void*, IOrbPlugin*, uint32_t, const OrbWChar*, ...) {}

std::vector<uint8_t> FiveKeyRequest() {
  QuonValueSet q;
  q.SetStringValue("Cmd", u"GetOPLandingPageInfoBench");
  q.SetUIntValue("dllType", 0);
  q.SetStringValue("dataType", u"Temperatue");
  q.SetValue("Index", new QuonValueSet::OrbValue(int32_t{3}));
  q.SetValue("Refresh", new QuonValueSet::OrbValue(true));
  return Framed(q);
}

std::vector<uint8_t> UnknownCommand() {
  QuonValueSet q;
  q.SetStringValue("Cmd", u"Nope");
  return Framed(q);
}

IOrbPlugin* LoadPlugin(const wchar_t* path) {
  HMODULE module = LoadLibraryW(path);
  if (module == nullptr) {
    std::fprintf(stderr, "cannot load %ls (error %lu)\n", path, GetLastError());
    return nullptr;
  }
  auto query = reinterpret_cast<PFN_QueryLibrary>(
      reinterpret_cast<void*>(GetProcAddress(module, "QueryLibrary")));
  IOrbPlugin* plugin = query != nullptr ? query(0) : nullptr;
  if (plugin != nullptr) plugin->SetLogCallback(&DropLogLine, nullptr);
  return plugin;  // the module stays loaded until the process ends
}

}  // namespace

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20000;
  IOrbPlugin* plugins[2] = {LoadPlugin(L"Pelorus.dll"), LoadPlugin(L"minimal_plugin.dll")};
  if (plugins[0] == nullptr || plugins[1] == nullptr) return 1;
  const std::vector<uint8_t> requests[2] = {FiveKeyRequest(), UnknownCommand()};

  // times[plugin][request]; the four pairs rotate their order each run.
  std::vector<double> times[2][2];
  for (int run = 0; run < kRuns; ++run) {
    for (int step = 0; step < 4; ++step) {
      const int pair = (step + run) % 4;
      times[pair / 2][pair % 2].push_back(
          qpc::MicrosecondsPerMessage(plugins[pair / 2], requests[pair % 2], calls));
    }
  }

  const char* names[2] = {"5-key request", "unknown command"};
  std::printf("%-18s %14s %16s %8s   (median of %d runs x %d calls)\n", "request", "Pelorus.dll",
              "minimal plug-in", "ratio", kRuns, calls);
  for (int r = 0; r < 2; ++r) {
    const double pelorus = qpc::Median(times[0][r]);
    const double minimal = qpc::Median(times[1][r]);
    std::printf("%-18s %11.3f us %13.3f us %8.2f\n", names[r], pelorus, minimal, pelorus / minimal);
  }
  for (IOrbPlugin* p : plugins) p->Release();
  return 0;
}
