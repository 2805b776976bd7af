// hmcore_x64.dll: the hardware-monitor library stand-in. One export,
// HM_GetData2, answers from the hardware profile (section [Hmsp],
// companions/common/hw_profile.h); README.md describes records and keys.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "hw_profile.h"

namespace {

#pragma pack(push, 1)
struct HmSensorRecord {  // 136 bytes
  uint32_t id;
  uint32_t current;
  uint32_t warningLevel;
  int32_t highLimit;
  int32_t lowLimit;
  uint32_t reserved1;
  int32_t threshold;
  int32_t thresholdHigh;
  uint32_t isMonitoring;
  wchar_t name[32];
  uint32_t isHidden;
  uint8_t reserved2[32];
};
#pragma pack(pop)
static_assert(sizeof(HmSensorRecord) == 136 && offsetof(HmSensorRecord, name) == 36 &&
              offsetof(HmSensorRecord, isHidden) == 100);

struct DataType {
  int32_t code;
  const wchar_t* key;
  const wchar_t* fallback;
};

// Readings of a quiet desktop board: MHz, mV, degrees C, RPM, L/h.
constexpr DataType kTypes[] = {
    {1, L"Frequency", L"CPU Core 0,3600,5200,800;CPU Core 1,3580,5200,800"},
    {2, L"Voltage", L"Vcore,1250,1500,800;+12V,12096,13200,10800;+5V,5040,5500,4500"},
    {3, L"Temperature", L"CPU,45,95,-5;System,36,80,-5;VRM,52,105,-5"},
    {4, L"Fan", L"CPU Fan,1150,3000,0;System Fan 1,820,2000,0"},
    {14, L"WaterFlow", L"Pump Flow,95,300,0"},
};

long Field(const std::vector<std::wstring>& fields, size_t index, long fallback) {
  if (index >= fields.size() || fields[index].empty()) return fallback;
  return std::wcstol(fields[index].c_str(), nullptr, 0);
}

std::vector<HmSensorRecord> Records(const DataType& type) {
  std::vector<HmSensorRecord> records;
  const std::wstring listed = hw_profile::String(L"Hmsp", type.key, type.fallback);
  if (listed.empty()) return records;
  for (const std::wstring& entry : hw_profile::Split(listed, L';')) {
    const std::vector<std::wstring> f = hw_profile::Split(entry, L',');
    HmSensorRecord r = {};
    wcsncpy_s(r.name, f[0].c_str(), _TRUNCATE);
    // Fields: name, current, high, low, threshold, thresholdHigh,
    // warningLevel, id, isMonitoring, isHidden (decimal; 32-bit wrap-around).
    r.current = static_cast<uint32_t>(std::wcstoll(f.size() > 1 ? f[1].c_str() : L"0", nullptr, 0));
    r.highLimit = static_cast<int32_t>(Field(f, 2, 0));
    r.lowLimit = static_cast<int32_t>(Field(f, 3, 0));
    r.threshold = static_cast<int32_t>(Field(f, 4, r.highLimit * 8 / 10));
    r.thresholdHigh = static_cast<int32_t>(Field(f, 5, r.highLimit * 9 / 10));
    r.warningLevel = static_cast<uint32_t>(Field(f, 6, 0));
    r.id = f.size() > 7 && !f[7].empty()
               ? static_cast<uint32_t>(std::wcstoull(f[7].c_str(), nullptr, 0))
               : static_cast<uint32_t>(type.code * 256 + records.size());
    r.isMonitoring = static_cast<uint32_t>(Field(f, 8, 1));
    r.isHidden = static_cast<uint32_t>(Field(f, 9, 0));
    records.push_back(r);
  }
  return records;
}

}  // namespace

// Null buffer: the number of records of the type. Otherwise fills the buffer
// with that many records (as many as the caller's earlier count asked for).
extern "C" __declspec(dllexport) int32_t HM_GetData2(int32_t dataType, void* buffer) {
  for (const DataType& type : kTypes) {
    if (type.code != dataType) continue;
    const std::vector<HmSensorRecord> records = Records(type);
    if (buffer != nullptr && !records.empty()) {
      std::memcpy(buffer, records.data(), records.size() * sizeof(HmSensorRecord));
    }
    return static_cast<int32_t>(records.size());
  }
  return 0;
}
