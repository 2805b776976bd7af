// cpuidsdk64.dll: the CPU-Z SDK stand-in. The export "QueryInterface" hands
// out the SDK's entries by function identifier (src/hwinfo/cpuid_sdk_ids.h);
// devices and sensors come from the hardware profile (section [Cpuz],
// companions/common/hw_profile.h). README.md describes the keys.
#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "hw_profile.h"
#include "hwinfo/cpuid_sdk_ids.h"

namespace {

namespace sdk = cpuid_sdk;
constexpr wchar_t kSection[] = L"Cpuz";
constexpr int32_t kVersion = 0x02010500;

struct Sensor {
  int32_t sensorClass;
  std::string name;
  float value, minimum, maximum;
  int32_t raw;
  bool fails;
};
struct Device {
  int32_t deviceClass;
  std::string name;
  std::vector<Sensor> sensors;
};

// The SDK's state between Refresh calls: the profile as last read.
struct Instance {
  std::vector<Device> devices;
};

int32_t Code(const std::wstring& name, const wchar_t* const* names, const int32_t* codes, size_t n,
             int32_t fallback) {
  for (size_t i = 0; i < n; ++i) {
    if (name == names[i]) return codes[i];
  }
  return name.empty() ? fallback : static_cast<int32_t>(std::wcstol(name.c_str(), nullptr, 0));
}

int32_t DeviceClassCode(const std::wstring& name) {
  static const wchar_t* const names[] = {L"Processor", L"HDD",    L"Adapter", L"Battery",
                                         L"Mainboard", L"Memory", L"PSU",     L"WATERCOOLER"};
  static const int32_t codes[] = {4, 16, 32, 128, 0x400, 0x800, 0x1000, 0x4000};
  return Code(name, names, codes, 8, 0);
}

int32_t SensorClassCode(const std::wstring& name) {
  static const wchar_t* const names[] = {
      L"Voltage",   L"Temperature", L"Fan",        L"Current",   L"Power",      L"FAN(PWM)",
      L"Pump(PWM)", L"WaterLevel",  L"Position",   L"Capacity",  L"CaseOpen",   L"Level",
      L"Counter",   L"Utilization", L"ClockSpeed", L"BandWidth", L"PerfLimiter"};
  static const int32_t codes[] = {0x1000, 0x2000, 0x3000, 0x4000,  0x5000, 0x6000,
                                  0x7000, 0x8000, 0x9000, 0xA000,  0xB000, 0xC000,
                                  0xD000, 0xE000, 0xF000, 0x10000, 0x11000};
  return Code(name, names, codes, 17, 0);
}

float Number(const std::vector<std::wstring>& f, size_t i, float fallback) {
  return i < f.size() && !f[i].empty() ? std::wcstof(f[i].c_str(), nullptr) : fallback;
}

const wchar_t* DefaultSensors(size_t device) {
  switch (device) {
    case 0:
      return L"Temperature|Package|45|30|88;Voltage|VID|1.21|0.80|1.40;Power|Package|35.2|4.8|125;"
             L"ClockSpeed|Core #0|3600|800|5200;Utilization|Processor|12|0|100";
    case 1:
      return L"Temperature|System|36|28|52;Temperature|VRM|51|35|78;Fan|CPU Fan|1150|900|1800;"
             L"Voltage|+12V|12.1|11.9|12.2";
    default:
      return L"Temperature|DIMM|41|33|50";
  }
}

std::vector<Device> ReadProfile() {
  const std::wstring fallbackDevices =
      L"Processor|" + hw_profile::ProcessorName() + L";Mainboard|" +
      hw_profile::BiosString(L"BaseBoardProduct", L"PRB-01 Reference Board") + L";Memory|DIMM A";
  std::vector<Device> devices;
  const std::wstring listed = hw_profile::String(kSection, L"Devices", fallbackDevices);
  if (listed.empty()) return devices;
  for (const std::wstring& entry : hw_profile::Split(listed, L';')) {
    const std::vector<std::wstring> f = hw_profile::Split(entry, L'|');
    Device device{DeviceClassCode(f[0]), f.size() > 1 ? hw_profile::Ascii(f[1]) : "", {}};
    const std::wstring key = L"Sensors" + std::to_wstring(devices.size());
    const std::wstring sensors = hw_profile::String(
        kSection, key.c_str(), listed == fallbackDevices ? DefaultSensors(devices.size()) : L"");
    if (!sensors.empty()) {
      for (const std::wstring& s : hw_profile::Split(sensors, L';')) {
        // class|name|value|min|max|raw|fail
        const std::vector<std::wstring> g = hw_profile::Split(s, L'|');
        const float value = Number(g, 2, 0);
        device.sensors.push_back({SensorClassCode(g[0]),
                                  g.size() > 1 ? hw_profile::Ascii(g[1]) : "", value,
                                  Number(g, 3, value), Number(g, 4, value),
                                  g.size() > 5 && !g[5].empty()
                                      ? static_cast<int32_t>(std::wcstol(g[5].c_str(), nullptr, 0))
                                      : static_cast<int32_t>(value),
                                  g.size() > 6 && g[6] == L"fail"});
      }
    }
    devices.push_back(std::move(device));
  }
  return devices;
}

sdk::SystemString Text(const std::string& text) {
  return SysAllocStringByteLen(text.c_str(), static_cast<UINT>(text.size()));
}

Instance* Self(sdk::Instance handle) {
  return static_cast<Instance*>(handle);
}

const Device* DeviceAt(sdk::Instance handle, int32_t d) {
  Instance* self = Self(handle);
  if (self == nullptr || d < 0 || static_cast<size_t>(d) >= self->devices.size()) return nullptr;
  return &self->devices[static_cast<size_t>(d)];
}

// The sensors of one device in one class (-1: all).
std::vector<const Sensor*> SensorsOf(const Device* device, int32_t sensorClass) {
  std::vector<const Sensor*> found;
  if (device == nullptr) return found;
  for (const Sensor& s : device->sensors) {
    if (sensorClass == -1 || s.sensorClass == sensorClass) found.push_back(&s);
  }
  return found;
}

sdk::Instance CreateInstance() {
  return new Instance();
}
void DestroyInstance(sdk::Instance handle) {
  delete Self(handle);
}
int32_t Init(sdk::Instance handle, const char*, const char*, uint32_t, int32_t* error,
             int32_t* extended) {
  *error = static_cast<int32_t>(hw_profile::Integer(kSection, L"InitError", 0));
  *extended = static_cast<int32_t>(hw_profile::Integer(kSection, L"InitExtended", 0));
  if (*error != 0 || handle == nullptr) return 0;
  Self(handle)->devices = ReadProfile();
  return 1;
}
void Close(sdk::Instance) {}
int32_t GetDllVersion(sdk::Instance, int32_t* version) {
  *version = kVersion;
  return 1;
}
void RefreshInformation(sdk::Instance handle) {
  if (handle != nullptr) Self(handle)->devices = ReadProfile();
}
int32_t GetNumberOfDevices(sdk::Instance handle) {
  return handle != nullptr ? static_cast<int32_t>(Self(handle)->devices.size()) : 0;
}
int32_t GetDeviceClass(sdk::Instance handle, int32_t d) {
  const Device* device = DeviceAt(handle, d);
  return device != nullptr ? device->deviceClass : 0;
}
sdk::SystemString GetDeviceName(sdk::Instance handle, int32_t d) {
  const Device* device = DeviceAt(handle, d);
  return device != nullptr && !device->name.empty() ? Text(device->name) : nullptr;
}
int32_t GetNumberOfSensors(sdk::Instance handle, int32_t d, int32_t sensorClass) {
  return static_cast<int32_t>(SensorsOf(DeviceAt(handle, d), sensorClass).size());
}
int32_t GetSensorInfo(sdk::Instance handle, int32_t d, int32_t i, int32_t sensorClass, int32_t* id,
                      sdk::SystemString* name, int32_t* raw, float* value, float* minimum,
                      float* maximum) {
  const std::vector<const Sensor*> sensors = SensorsOf(DeviceAt(handle, d), sensorClass);
  if (i < 0 || static_cast<size_t>(i) >= sensors.size() || sensors[static_cast<size_t>(i)]->fails) {
    return 0;
  }
  const Sensor& s = *sensors[static_cast<size_t>(i)];
  // Identifier: device in bits 28-31, class in 12-21, index in 0-11.
  *id = static_cast<int32_t>((static_cast<uint32_t>(d) & 0xF) << 28 |
                             ((static_cast<uint32_t>(s.sensorClass) >> 12) & 0x3FF) << 12 |
                             (static_cast<uint32_t>(i) & 0xFFF));
  *name = Text(s.name);
  *raw = s.raw;
  *value = s.value;
  *minimum = s.minimum;
  *maximum = s.maximum;
  return 1;
}
float GetMemoryClockFrequency(sdk::Instance) {
  std::wstring clock = hw_profile::String(kSection, L"MemoryClock", L"1600");
  return std::wcstof(clock.c_str(), nullptr);
}
int32_t GetMemoryType(sdk::Instance) {
  return static_cast<int32_t>(hw_profile::Integer(kSection, L"MemoryType", 5));
}
float GetSensorTypeValue(sdk::Instance, int32_t id, int32_t* first, int32_t* second) {
  *first = (id >> 12) & 0x3FF;
  *second = 0;
  return 0.0f;
}

template <class Fn>
void* Entry(Fn fn) {
  return reinterpret_cast<void*>(fn);
}

}  // namespace

// Entries the profile lists under "Missing" (identifiers, comma-separated)
// are withheld, so callers meet an SDK without them.
extern "C" __declspec(dllexport) void* QueryInterface(uint32_t functionId) {
  for (const std::wstring& missing :
       hw_profile::Split(hw_profile::String(kSection, L"Missing", L""), L',')) {
    if (!missing.empty() && std::wcstoul(missing.c_str(), nullptr, 0) == functionId) return nullptr;
  }
  switch (functionId) {
    case sdk::kCreateInstance:
      return Entry<sdk::CreateInstanceFn>(CreateInstance);
    case sdk::kDestroyInstance:
      return Entry<sdk::DestroyInstanceFn>(DestroyInstance);
    case sdk::kInit:
      return Entry<sdk::InitFn>(Init);
    case sdk::kClose:
      return Entry<sdk::CloseFn>(Close);
    case sdk::kGetDllVersion:
      return Entry<sdk::GetDllVersionFn>(GetDllVersion);
    case sdk::kRefreshInformation:
      return Entry<sdk::RefreshInformationFn>(RefreshInformation);
    case sdk::kGetNumberOfDevices:
      return Entry<sdk::GetNumberOfDevicesFn>(GetNumberOfDevices);
    case sdk::kGetDeviceClass:
      return Entry<sdk::GetDeviceClassFn>(GetDeviceClass);
    case sdk::kGetDeviceName:
      return Entry<sdk::GetDeviceNameFn>(GetDeviceName);
    case sdk::kGetNumberOfSensors:
      return Entry<sdk::GetNumberOfSensorsFn>(GetNumberOfSensors);
    case sdk::kGetSensorInfo:
      return Entry<sdk::GetSensorInfoFn>(GetSensorInfo);
    case sdk::kGetMemoryClockFrequency:
      return Entry<sdk::GetMemoryClockFrequencyFn>(GetMemoryClockFrequency);
    case sdk::kGetMemoryType:
      return Entry<sdk::GetMemoryTypeFn>(GetMemoryType);
    case sdk::kGetSensorTypeValue:
      return Entry<sdk::GetSensorTypeValueFn>(GetSensorTypeValue);
    default:
      return nullptr;
  }
}
