// Latency of "GetOPLandingPageInfo" per back end under Wine (Win32-only; run
// by hand in the provisioned machine, whose plug-in folder holds the signed
// companions and whose "hbComSvc" runs):
//
//   scripts/wine-run.sh build/windows/bench/windows/landing_page_bench.exe [requests]
//
// Each request goes through OnMessage as the host sends it: framing, the
// signature check of the back end's library, the back end's work and the
// reply. Next to it, the cost of one load and unload of the library and of
// one signature check (a kept verdict after the first). The SDK dump waits 1 s
// between its two refreshes by design; its figure is also given without that
// wait (the measured length of the wait subtracted).
//
// Then the back ends' own work in this program, for the ratios: the
// hardware-monitor library's five counts and five reads of HM_GetData2 plus
// a value tree of the records; for hwInfo one load, the ten text calls, one
// unload and one SHA-256 of the library; the first trust check of a file
// against a kept verdict; and SHA-256 against file size. Medians over the
// requests, QueryPerformanceCounter.
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
#include "support/win32_handles.h"

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

// SHA-256 of a whole file, read in 256 KiB pieces (what a verdict check costs
// beyond opening the file).
bool Sha256OfFile(const std::wstring& path) {
  unique_hfile file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  unique_bcrypt_algorithm algorithm;
  unique_bcrypt_hash hash;
  if (!file ||
      BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0 ||
      BCryptCreateHash(algorithm.get(), hash.put(), nullptr, 0, nullptr, 0, 0) < 0) {
    return false;
  }
  std::vector<uint8_t> chunk(256 * 1024);
  DWORD read = 0;
  while (ReadFile(file.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr) &&
         read > 0) {
    BCryptHashData(hash.get(), chunk.data(), read, 0);
  }
  uint8_t digest[32];
  return BCryptFinishHash(hash.get(), digest, sizeof digest, 0) >= 0;
}

// The hardware-monitor library's own work for dataType All: five counts, five
// reads, and a tree of the records with the keys the bridge writes.
double HmspOwnWorkMs(int requests) {
  HMODULE library = LoadLibraryW(PluginFile(L"hmcore_x64.dll").c_str());
  auto getData = reinterpret_cast<int32_t (*)(int32_t, void*)>(
      reinterpret_cast<void*>(GetProcAddress(library, "HM_GetData2")));
  if (getData == nullptr) return -1;
  static const char* const kKeys[] = {"Id",       "warningLevel", "current",       "hightLimit",
                                      "lowLimit", "threshold",    "thresholdHigh", "isMonitoring",
                                      "isHidden"};
  return MedianMs(requests, [&] {
    QuonValueSet tree;
    const int32_t types[5] = {1, 2, 3, 4, 14};
    const char* names[5] = {"Frequency", "Voltage", "Temperatue", "Fan", "WaterFlow"};
    int32_t counts[5];
    for (int c = 0; c < 5; ++c) counts[c] = getData(types[c], nullptr);
    for (int c = 0; c < 5; ++c) {
      QuonValueSet* node = tree.CreateChild(names[c]);
      if (counts[c] < 1) continue;
      std::vector<uint8_t> records(static_cast<size_t>(counts[c]) * 136);
      getData(types[c], records.data());
      for (int32_t i = 0; i < counts[c]; ++i) {
        QuonValueSet* value = node->CreateChild("value" + std::to_string(i));
        value->SetValue("count", new QuonValueSet::OrbValue(i));
        value->SetStringValue("name", std::u16string(u"sensor"));
        for (const char* key : kKeys) value->SetStringValue(key, std::u16string(u"1234"));
      }
    }
    (void)tree.ToString();  // the bridge dumps the tree once per read as well
  });
}

// hwInfo's floor: one load, the ten text calls, one unload, one SHA-256.
double HwInfoOwnWorkMs(int requests) {
  const std::wstring path = PluginFile(L"SysInfoProbe.dll");
  static const char* const kExports[] = {
      "GetCPUName",   "GetGPUName",      "GetModelName",   "GetBIOSVersion", "GetDRAMMfr",
      "GetDRAMClock", "GetDRAMCapacity", "GetProductLine", "GetProductSKU",  "GetSubBrand"};
  return MedianMs(requests, [&] {
    Sha256OfFile(path);
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) return;
    for (const char* name : kExports) {
      char text[100] = {};
      auto entry =
          reinterpret_cast<void (*)(char*)>(reinterpret_cast<void*>(GetProcAddress(module, name)));
      if (entry != nullptr) entry(text);
    }
    FreeLibrary(module);
  });
}

// Milliseconds to hash a scratch file of `bytes` bytes.
double Sha256Ms(size_t bytes, int requests) {
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  const std::wstring path = std::wstring(folder) + L"pelorus-sha-bench.bin";
  {
    unique_hfile file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    std::vector<uint8_t> data(bytes, 0x5A);
    DWORD written = 0;
    WriteFile(file.get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
  }
  const double ms = MedianMs(requests, [&] { Sha256OfFile(path); });
  DeleteFileW(path.c_str());
  return ms;
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

  const double hmspOwn = HmspOwnWorkMs(requests);
  const double hwInfoOwn = HwInfoOwnWorkMs(requests);
  std::printf("\n%-48s %10.2f ms\n", "HMSP back end's own work (dataType All)", hmspOwn);
  std::printf("%-48s %10.2f ms\n", "hwInfo floor (load, ten calls, unload, SHA-256)", hwInfoOwn);

  const std::wstring probe = PluginFile(L"SysInfoProbe.dll");
  const double firstCheck = MedianMs(requests, [&] {
    ForgetTrustVerdicts();
    IsQuonSignature(nullptr, probe.c_str());
  });
  IsQuonSignature(nullptr, probe.c_str());
  const double keptCheck = MedianMs(requests, [&] { IsQuonSignature(nullptr, probe.c_str()); });
  std::printf("%-48s %10.3f ms\n", "trust check, first (SysInfoProbe.dll)", firstCheck);
  std::printf("%-48s %10.3f ms\n", "trust check, kept verdict (hash only)", keptCheck);
  for (size_t kib : {64u, 1024u, 16384u}) {
    std::printf("SHA-256 of %6zu KiB %36.3f ms\n", kib, Sha256Ms(kib * 1024, requests));
  }
  plugin->Release();
  return 0;
}
