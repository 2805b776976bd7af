// Latency of "GetOPLandingPageInfo" per back end under Wine (Win32-only; run
// by hand in the provisioned machine, whose plug-in folder holds the signed
// companions and whose "hbComSvc" runs):
//
//   scripts/wine-run.sh build/windows/bench/windows/landing_page_bench.exe [requests]
//
// Each request goes through OnMessage as the host sends it: framing, the
// signature check of the back end's library, the back end's work and the
// reply. Next to it, the cost of one load and unload of the library (the
// system-information bridge loads it once per export call by design) and of
// one signature check. The SDK dump waits 1 s between its two refreshes by
// design; its figure is also given without that wait (the measured length of
// the wait subtracted). Medians over the requests, QueryPerformanceCounter.
#include "support/win32.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "../../tests/common/recording_host.h"
#include "plugin/pelorus.h"
#include "support/signature.h"

namespace {

double Now() {
  LARGE_INTEGER counter, frequency;
  QueryPerformanceCounter(&counter);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// Median milliseconds of `count` calls.
double MedianMs(int count, const std::function<void()>& call) {
  std::vector<double> times;
  for (int i = 0; i < count; ++i) {
    const double start = Now();
    call();
    times.push_back(Now() - start);
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

std::wstring PluginFile(const wchar_t* name) {
  wchar_t programFiles[MAX_PATH] = {};
  GetEnvironmentVariableW(L"ProgramFiles", programFiles, MAX_PATH);
  return std::wstring(programFiles) + L"\\QUON\\CORVANE KIOSK Lite Service\\Pelorus\\" + name;
}

}  // namespace

int main(int argc, char** argv) {
  const int requests = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  IOrbPlugin* plugin = QueryLibrary(0);
  struct BackEnd {
    int32_t dllType;
    const char16_t* dataType;
    const wchar_t* library;
    const char* name;
  };
  const BackEnd backEnds[] = {
      {0, u"All", L"hmcore_x64.dll", "HMSP (dllType 0, All)"},
      {0, u"Temperatue", L"hmcore_x64.dll", "HMSP (dllType 0, Temperatue)"},
      {1, u"All", L"cpuidsdk64.dll", "CPU-Z SDK (dllType 1, All)"},
      {2, u"", L"SysInfoProbe.dll", "hwInfo (dllType 2)"},
      {3, u"", L"SysInfoProbe.dll", "DeviceHalDetect (dllType 3)"},
      {4, u"", L"SysInfoProbe.dll", "hwUsage (dllType 4)"},
  };
  const double sleepMs = MedianMs(3, [] { Sleep(1000); });
  std::printf("%-32s %12s %10s %14s %14s\n", "back end", "request ms", "status", "load+free ms",
              "signature ms");
  for (const BackEnd& b : backEnds) {
    QuonValueSet request;
    request.SetStringValue("Cmd", std::u16string(u"GetOPLandingPageInfo"));
    request.SetValue("dllType", new QuonValueSet::OrbValue(b.dllType));
    request.SetStringValue("dataType", std::u16string(b.dataType));
    const std::vector<uint8_t> message =
        FrameMessage(kOrbMessageRequest, kOrbEndpointClients, request);
    HRESULT status = 0;
    auto call = [&] {
      uint8_t* reply = nullptr;
      uint64_t length = 0;
      status = plugin->OnMessage(nullptr, message.data(), static_cast<uint32_t>(message.size()),
                                 &reply, &length);
      std::free(reply);
    };
    call();  // first request: loads what stays loaded, checks the service
    const int count = b.dllType == 1 ? std::min(requests, 5) : requests;
    const double requestMs = MedianMs(count, call);
    const std::wstring path = PluginFile(b.library);
    const double loadMs = MedianMs(requests, [&] {
      HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
      if (module != nullptr) FreeLibrary(module);
    });
    const double signatureMs = MedianMs(requests, [&] { IsQuonSignature(nullptr, path.c_str()); });
    std::printf("%-32s %12.2f %10lu %14.3f %14.3f\n", b.name, requestMs,
                static_cast<unsigned long>(status), loadMs, signatureMs);
    if (b.dllType == 1) {
      std::printf("%-32s %12.2f %10s (the 1 s wait, measured %.1f ms, subtracted)\n",
                  "  CPU-Z SDK without the wait", requestMs - sleepMs, "", sleepMs);
    }
  }
  plugin->Release();
  return 0;
}
