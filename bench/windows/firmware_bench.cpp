// Cost of loading one firmware item group through the out-of-process ACPI
// bridge under Wine (Win32-only; run by hand):
//
//   scripts/wine-run.sh build/windows/bench/windows/firmware_bench.exe [items]
//
// A scripted profile gives group 30 `items` Number items (default 32). Each
// sample loads the group into a fresh item table (a group is fetched once
// per table): one group-list call and one descriptor call per item on one
// bridge object for the load. Next to it: the same calls on one live bridge
// object (the floor of a group load), the same group through the exports
// (an object per call), one bare method call on a live object and one whole
// export call (object creation, call, release).
// Figures are medians, timed with QueryPerformanceCounter. The bench
// replaces the stand-in's "Profile" registry value while it runs.
#include "support/win32.h"
#include "support/win32_handles.h"

#include <wrl/client.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "firmware/acpi_bridge.h"
#include "firmware/bios_item_table.h"

namespace {

constexpr wchar_t kBridgeKey[] = L"SOFTWARE\\Pelorus Machine\\ACPI Bridge";

double Now() {
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Median seconds per call over `samples` samples of `calls` calls each.
double Median(int samples, int calls, const std::function<void()>& call) {
  std::vector<double> times;
  for (int s = 0; s < samples; ++s) {
    const double start = Now();
    for (int i = 0; i < calls; ++i) call();
    times.push_back((Now() - start) / calls);
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

std::wstring ProfileFile(int items) {
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  const std::wstring path = std::wstring(folder) + L"pelorus-firmware-bench.json";
  std::ofstream out(path.c_str(), std::ios::binary);
  out << "{\"Groups\": {\"30\": [";
  for (int i = 0; i < items; ++i) {
    char id[16];
    std::snprintf(id, sizeof id, "0x1E00%04X", static_cast<unsigned>(i));
    out << (i ? "," : "") << "{\"Id\": \"" << id
        << "\", \"Minimum\": 1000, \"Step\": 250, \"Positions\": 9, \"ExtraStrings\": [\"Auto\"]}";
  }
  out << "]}}";
  return path;
}

}  // namespace

int main(int argc, char** argv) {
  const int items = argc > 1 ? std::max(1, std::atoi(argv[1])) : 32;
  ComInitialization com;
  const std::wstring profile = ProfileFile(items);
  if (RegSetKeyValueW(HKEY_LOCAL_MACHINE, kBridgeKey, L"Profile", REG_SZ, profile.c_str(),
                      static_cast<DWORD>((profile.size() + 1) * sizeof(wchar_t))) !=
      ERROR_SUCCESS) {
    std::fprintf(stderr, "firmware_bench: cannot set the bridge profile\n");
    return 1;
  }

  CLSID clsid;
  Microsoft::WRL::ComPtr<IDispatch> bridge;
  if (FAILED(CLSIDFromProgID(L"hwbridgeCom.hbdata", &clsid)) ||
      FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                              reinterpret_cast<void**>(bridge.GetAddressOf())))) {
    std::fprintf(stderr, "firmware_bench: the ACPI bridge is not registered or does not start\n");
    return 1;
  }
  // The bridge object stays alive meanwhile, so the server does too.
  const double bare = Median(5, 200, [&] {
    UniqueVariant result;
    AutomationInvoke(DISPATCH_METHOD, result.get(), bridge.Get(), L"iAcpiInit", 0);
  });
  const double perExport = Median(5, 50, [] { AcpiInit(); });
  size_t loaded = 0;
  const double group = Median(7, 1, [&] {
    BiosItemTable table;
    table.FindItem(30, 0);
    loaded = table.GroupIds(30).size();
  });
  struct ExportSource final : BiosGroupSource {
    uint32_t FetchList(uint32_t g, uint8_t* buffer, uint32_t* length) override {
      return AcpiGGrp(g, buffer, length);
    }
    uint32_t FetchDescriptor(uint32_t id, uint8_t* buffer, uint32_t* length) override {
      return AcpiCallMethod(&id, buffer, length);
    }
  };
  const double groupByExports = Median(5, 1, [&] {
    BiosItemTable table;
    ExportSource exports;
    table.FindItem(30, 0, exports);
  });
  // The same calls on a bridge object that stays alive: the list, then one
  // descriptor per listed id.
  AcpiBridgeSession live;
  std::vector<uint8_t> list(4096);
  const double liveCalls = Median(7, 1, [&] {
    uint32_t length = 4096;
    live.GGrp(30, list.data(), &length);
    std::vector<uint8_t> descriptor(4096);
    for (int i = 0; i < items; ++i) {
      uint32_t descriptorLength = 4096;
      live.CallMethod(0x1E000000u | static_cast<uint32_t>(i), descriptor.data(), &descriptorLength);
    }
  });

  RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kBridgeKey, L"Profile");
  DeleteFileW(profile.c_str());
  std::printf("bare method call on a live bridge object: %8.1f us\n", bare * 1e6);
  std::printf("one export call (create, call, release): %8.1f us\n", perExport * 1e6);
  std::printf("group of %d items loaded (%zu):          %8.1f ms  (%.1f us per bridge call)\n",
              items, loaded, group * 1e3, group * 1e6 / (items + 1));
  std::printf("the same calls on one live bridge object: %8.1f ms  (group load / calls = %.2f)\n",
              liveCalls * 1e3, group / liveCalls);
  std::printf("the group through the exports:            %8.1f ms  (%.1fx the live calls)\n",
              groupByExports * 1e3, groupByExports / liveCalls);
  return loaded == static_cast<size_t>(items) ? 0 : 1;
}
