// CPU-Z SDK sensor dump (Win32-only).
#include "hwinfo/cpuz_dump.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "hwinfo/cpuid_sdk_ids.h"
#include "hwinfo/hw_log_sink.h"
#include "pelorus/value_set.h"
#include "support/signature.h"
#include "support/win32.h"
#include "support/win32_handles.h"

namespace {

using OrbValue = QuonValueSet::OrbValue;
namespace sdk = cpuid_sdk;

constexpr uint32_t kInfo = kOrbLogInfo;
constexpr uint32_t kError = kOrbLogError;
constexpr uint32_t kInitFlags = 0x7FFFFFBF;
constexpr DWORD kMutexWaitMs = 10000;
constexpr DWORD kRefreshWaitMs = 1000;
constexpr size_t kMaxDeviceNames = 256;
constexpr size_t kMaxSensorName = 127;
constexpr double kFloatLimit = 4294967296.0;

// The SDK wrapper: the instance handle and the entries resolved through the
// SDK's "QueryInterface"; an entry the SDK lacks stays null.
class CPUIDSDK {
 public:
  explicit CPUIDSDK(HMODULE module) {
    auto query = reinterpret_cast<sdk::QueryInterfaceFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "QueryInterface")));
    if (query == nullptr) return;
    Resolve(query, sdk::kCreateInstance, m_create);
    Resolve(query, sdk::kDestroyInstance, m_destroy);
    Resolve(query, sdk::kInit, m_init);
    Resolve(query, sdk::kClose, m_close);
    Resolve(query, sdk::kGetDllVersion, m_version);
    Resolve(query, sdk::kRefreshInformation, m_refresh);
    Resolve(query, sdk::kGetNumberOfDevices, m_deviceCount);
    Resolve(query, sdk::kGetDeviceClass, m_deviceClass);
    Resolve(query, sdk::kGetDeviceName, m_deviceName);
    Resolve(query, sdk::kGetNumberOfSensors, m_sensorCount);
    Resolve(query, sdk::kGetSensorInfo, m_sensorInfo);
    Resolve(query, sdk::kGetMemoryClockFrequency, m_memoryClock);
    Resolve(query, sdk::kGetMemoryType, m_memoryType);
    Resolve(query, sdk::kGetSensorTypeValue, m_sensorTypeValue);
  }
  virtual ~CPUIDSDK() = default;

  void CreateInstance() {
    if (m_create != nullptr) m_instance = m_create();
  }
  void DestroyInstance() {
    if (m_destroy != nullptr) m_destroy(m_instance);
    m_instance = nullptr;
  }
  void Close() {
    if (m_close != nullptr) m_close(m_instance);
  }
  int32_t Init(const char* folder, const char* file, int32_t* error, int32_t* extended) {
    if (m_init == nullptr) {
      *error = 16;
      return 0;
    }
    return m_init(m_instance, folder, file, kInitFlags, error, extended);
  }
  int32_t DllVersion() {
    int32_t version = 0;
    if (m_version != nullptr) m_version(m_instance, &version);
    return version;
  }
  void Refresh() {
    if (m_refresh != nullptr) m_refresh(m_instance);
  }
  int32_t DeviceCount() { return m_deviceCount != nullptr ? m_deviceCount(m_instance) : -1; }
  int32_t DeviceClass(int32_t d) {
    return m_deviceClass != nullptr ? m_deviceClass(m_instance, d) : 0;
  }
  bool HasDeviceClass() const { return m_deviceClass != nullptr; }
  // The device's name, or empty when the SDK gives none.
  std::string DeviceName(int32_t d) {
    if (m_deviceName == nullptr) return {};
    return TakeText(m_deviceName(m_instance, d));
  }
  int32_t SensorCount(int32_t d, int32_t sensorClass) {
    return m_sensorCount != nullptr ? m_sensorCount(m_instance, d, sensorClass) : 0;
  }
  struct Sensor {
    uint32_t id = 0;
    std::string name;
    int32_t raw = 0;
    float value = 0, minimum = 0, maximum = 0;
  };
  bool SensorInfo(int32_t d, int32_t i, int32_t sensorClass, Sensor* sensor) {
    if (m_sensorInfo == nullptr) return false;
    int32_t id = 0;
    sdk::SystemString name = nullptr;
    const int32_t ok = m_sensorInfo(m_instance, d, i, sensorClass, &id, &name, &sensor->raw,
                                    &sensor->value, &sensor->minimum, &sensor->maximum);
    sensor->id = static_cast<uint32_t>(id);
    sensor->name = TakeText(name).substr(0, kMaxSensorName);
    return ok != 0;
  }
  float MemoryClock() { return m_memoryClock != nullptr ? m_memoryClock(m_instance) : -1.0f; }
  int32_t MemoryType() { return m_memoryType != nullptr ? m_memoryType(m_instance) : -1; }
  float SensorTypeValue(int32_t id, int32_t* first, int32_t* second) {
    return m_sensorTypeValue != nullptr ? m_sensorTypeValue(m_instance, id, first, second) : -1.0f;
  }

 private:
  template <class Fn>
  static void Resolve(sdk::QueryInterfaceFn query, uint32_t id, Fn& entry) {
    entry = reinterpret_cast<Fn>(query(id));
  }
  // The narrow bytes of a system string, which is then released.
  static std::string TakeText(sdk::SystemString text) {
    if (text == nullptr) return {};
    std::string bytes(reinterpret_cast<const char*>(text), SysStringByteLen(text));
    SysFreeString(text);
    return bytes.substr(0, bytes.find('\0'));
  }

  sdk::Instance m_instance = nullptr;
  sdk::CreateInstanceFn m_create = nullptr;
  sdk::DestroyInstanceFn m_destroy = nullptr;
  sdk::InitFn m_init = nullptr;
  sdk::CloseFn m_close = nullptr;
  sdk::GetDllVersionFn m_version = nullptr;
  sdk::RefreshInformationFn m_refresh = nullptr;
  sdk::GetNumberOfDevicesFn m_deviceCount = nullptr;
  sdk::GetDeviceClassFn m_deviceClass = nullptr;
  sdk::GetDeviceNameFn m_deviceName = nullptr;
  sdk::GetNumberOfSensorsFn m_sensorCount = nullptr;
  sdk::GetSensorInfoFn m_sensorInfo = nullptr;
  sdk::GetMemoryClockFrequencyFn m_memoryClock = nullptr;
  sdk::GetMemoryTypeFn m_memoryType = nullptr;
  sdk::GetSensorTypeValueFn m_sensorTypeValue = nullptr;
};

struct SensorClass {
  int32_t code;
  const char* name;
};
// Sensor classes in dump order.
constexpr SensorClass LoopTable[17] = {
    {0x1000, "Voltage"},    {0x2000, "Temperature"},  {0x3000, "Fan"},
    {0x4000, "Current"},    {0x5000, "Power"},        {0x6000, "FAN(PWM)"},
    {0x7000, "Pump(PWM)"},  {0x8000, "WaterLevel"},   {0x9000, "Position"},
    {0xA000, "Capacity"},   {0xB000, "CaseOpen"},     {0xC000, "Level"},
    {0xD000, "Counter"},    {0xE000, "Utilization"},  {0xF000, "ClockSpeed"},
    {0x10000, "BandWidth"}, {0x11000, "PerfLimiter"},
};

const char* DeviceClassName(int32_t code) {
  switch (code) {
    case 4:
      return "Processor";
    case 16:
      return "HDD";
    case 32:
      return "Adapter";
    case 128:
      return "Battery";
    case 0x400:
      return "Mainboard";
    case 0x800:
      return "Memory";
    case 0x1000:
      return "PSU";
    case 0x4000:
      return "WATERCOOLER";
    default:
      return "Unknown";
  }
}

struct CpuzState {
  HMODULE m_hDLL = nullptr;
  CPUIDSDK* m_pSDK = nullptr;
  unique_handle mMutexLock;  // open for the life of the process
  bool dumpCompleted = false;
  bool mHasSameDevice = false;
  int32_t sameDeviceCounter = 0;
  std::vector<std::string> deviceNames;
  bool progressLog = true;
  int32_t progressRuns = 0;
  HwLogSink sink;
};
CpuzState g_cz;

template <class... A>
void Log(uint32_t level, const wchar_t* format, A... args) {
  g_cz.sink.Write(level, format, args...);
}
template <class... A>
void Progress(const wchar_t* format, A... args) {
  if (g_cz.progressLog) g_cz.sink.WriteProgress(kInfo, format, args...);
}

std::wstring Widen(const std::string& text) {
  std::wstring wide;
  for (char c : text) wide += static_cast<wchar_t>(static_cast<unsigned char>(c));
  return wide;
}
// Narrow text of the system code page to UTF-16.
std::u16string FromAnsi(const std::string& text) {
  if (text.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0)
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return ToU16(wide);
}
std::string ToAnsi(const std::wstring& text) {
  const int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(n > 0 ? n : 1), '\0');
  if (n > 0) WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, narrow.data(), n, nullptr, nullptr);
  narrow.resize(narrow.size() - 1);
  return narrow;
}

// --- The machine-wide mutex ------------------------------------------------------------

void initialMutex() {
  try {
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    // A null access list: every process on the machine may open the mutex.
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
    if (!g_cz.mMutexLock)
      g_cz.mMutexLock.reset(CreateMutexW(&attributes, FALSE, L"Global\\cpuzlock"));
  } catch (const std::exception& e) {
    Log(kError, L" [PELORUS][initialMutex] error!!   error = %ls", Widen(e.what()).c_str());
  }
}

void WaiteForMutex() {
  try {
    if (!g_cz.mMutexLock) {
      Log(kError, L"[PELORUS][WaiteForMutex] mMutexLock is NULL");
      return;
    }
    const DWORD outcome = WaitForSingleObject(g_cz.mMutexLock.get(), kMutexWaitMs);
    const int error = static_cast<int>(GetLastError());
    switch (outcome) {
      case WAIT_OBJECT_0:
        Log(kInfo, L"[PELORUS][WaiteForMutex] WAIT_OBJECT_0, get the mutex success");
        break;
      case WAIT_ABANDONED:
        Log(kError, L"[PELORUS][WaiteForMutex] WAIT_ABANDONED, ERROR: %d", error);
        break;
      case WAIT_TIMEOUT:
        Log(kError, L"[PELORUS][WaiteForMutex] WAIT_TIMEOUT, ERROR: %d", error);
        break;
      case WAIT_IO_COMPLETION:
        Log(kError, L"[PELORUS][WaiteForMutex] WAIT_IO_COMPLETION, ERROR: %d", error);
        break;
      case WAIT_FAILED:
        Log(kError, L"[PELORUS][WaiteForMutex] WAIT_FAILED, ERROR: %d", error);
        break;
      default:
        Log(kError, L"[PELORUS][WaiteForMutex] unexpected wait result 0x%X, ERROR: %d",
            static_cast<unsigned>(outcome), error);
        break;
    }
  } catch (const std::exception& e) {
    Log(kError, L" [PELORUS][WaiteForMutex] error!!   error = %ls", Widen(e.what()).c_str());
  }
}

void releaseMutexLock() {
  try {
    if (!g_cz.mMutexLock) {
      Log(kError, L"[PELORUS][releaseMutexLock] mMutexLock is NULL");
    } else if (ReleaseMutex(g_cz.mMutexLock.get())) {
      Log(kInfo, L"[PELORUS][releaseMutexLock] release mutex success");
    } else {
      Log(kError, L"[PELORUS][releaseMutexLock] Fail release mutex!!  ERROR: %d",
          static_cast<int>(GetLastError()));
    }
  } catch (const std::exception& e) {
    Log(kError, L" [PELORUS][releaseMutexLock] error!!   error = %ls", Widen(e.what()).c_str());
  }
}

// --- Loading ---------------------------------------------------------------------------

// The SDK copy in one candidate folder, as a full path, when that file is
// signed by CPUID; empty otherwise (logged when a file is there but refused).
// The file stays pinned in `pin` until it is loaded.
std::wstring CheckedCandidate(const std::wstring& relative, PinnedFile* pin) {
  wchar_t full[MAX_PATH] = {};
  const DWORD n = GetFullPathNameW(relative.c_str(), MAX_PATH, full, nullptr);
  if (n == 0 || n >= MAX_PATH) return {};
  if (GetFileAttributesW(full) == INVALID_FILE_ATTRIBUTES) return {};
  wchar_t signer[kSignatureTextChars] = {}, serial[kSignatureTextChars] = {},
          time[kSignatureTextChars] = {};
  if (!GetSignatureInfo(nullptr, full, signer, serial, time, pin) || !IsCpuidSigner(signer)) {
    pin->Release();
    Log(kError, L"[PELORUS][Cpuz][InitDll] skip %ls, not signed by CPUID (signature = %ls)", full,
        signer);
    return {};
  }
  return full;
}

void exitDll() {
  if (g_cz.m_pSDK != nullptr) {
    g_cz.m_pSDK->Close();
    g_cz.m_pSDK->DestroyInstance();
    delete g_cz.m_pSDK;
    g_cz.m_pSDK = nullptr;
  }
  if (g_cz.m_hDLL != nullptr) FreeLibrary(g_cz.m_hDLL);
  g_cz.m_hDLL = nullptr;
}

bool InitDll() {
  initialMutex();
  WaiteForMutex();
  if (!g_cz.mMutexLock) {
    Log(kError, L"[PELORUS][Cpuz][InitDll] CreateMutex ERROR!! return, not initial the SDK : %d",
        static_cast<int>(GetLastError()));
    releaseMutexLock();
    return false;
  }
  wchar_t programFiles[MAX_PATH] = {};
  if (GetEnvironmentVariableW(L"ProgramFiles", programFiles, MAX_PATH) >= MAX_PATH) {
    programFiles[0] = 0;
  }
  wchar_t pluginFolder[MAX_PATH] = {};
  std::swprintf(pluginFolder, MAX_PATH, L"%ls\\QUON\\CORVANE KIOSK Lite Service\\Pelorus",
                programFiles);
  const std::wstring folders[5] = {L".", L"..\\", L"..\\..\\bin", L"..\\..\\..\\bin", pluginFolder};
  std::wstring loadedPath;
  for (const std::wstring& folder : folders) {
    wchar_t candidate[MAX_PATH] = {};
    std::swprintf(candidate, MAX_PATH, L"%ls\\%ls", folder.c_str(), L"cpuidsdk64.dll");
    PinnedFile pin;
    const std::wstring full = CheckedCandidate(candidate, &pin);
    if (full.empty()) continue;
    g_cz.m_hDLL = LoadLibraryW(full.c_str());
    if (g_cz.m_hDLL != nullptr && !pin.ConfirmImage(g_cz.m_hDLL)) {
      FreeLibrary(g_cz.m_hDLL);
      g_cz.m_hDLL = nullptr;
      Log(kError, L"[PELORUS][Cpuz][InitDll] skip %ls, the library loaded is not the checked file",
          full.c_str());
    }
    pin.Release();
    if (g_cz.m_hDLL != nullptr) {
      loadedPath = full;
      break;
    }
  }
  if (g_cz.m_hDLL == nullptr) {
    Log(kError, L"[PELORUS][Cpuz][InitDll] ******* Error!! Can't load DLL file. *******");
    releaseMutexLock();
    return false;
  }
  Progress(L"[PELORUS][Cpuz][InitDll] process 1, loaded %ls", loadedPath.c_str());

  g_cz.m_pSDK = new CPUIDSDK(g_cz.m_hDLL);
  g_cz.m_pSDK->CreateInstance();
  const size_t slash = loadedPath.find_last_of(L'\\');
  const std::string folder = ToAnsi(loadedPath.substr(0, slash));
  const std::string file = ToAnsi(loadedPath.substr(slash + 1));
  int32_t error = 0, extended = 0;
  const int32_t ok = g_cz.m_pSDK->Init(folder.c_str(), file.c_str(), &error, &extended);
  if (error != 0) {
    wchar_t message[512] = {};
    switch (error) {
      case sdk::kErrorDriver:
        std::swprintf(message, 512, L"Driver error 0x%X.", static_cast<unsigned>(extended));
        break;
      case sdk::kErrorVirtualMachine:
        std::swprintf(message, 512, L"Virtual machine detected.");
        break;
      case sdk::kErrorSdkLocked:
        std::swprintf(message, 512, L"SDK mutex locked.");
        break;
      default:
        std::swprintf(message, 512, L"Error code 0x%X", static_cast<unsigned>(error));
        break;
    }
    Log(kError, L"%ls", message);
    Log(kError, L"[PELORUS][Cpuz][InitDll] load cpuz dll fail..... errorCode = %d ", error);
  }
  if (ok != 0) {
    const int32_t version = g_cz.m_pSDK->DllVersion();
    std::printf("DLL version: 0x%08X\n", static_cast<unsigned>(version));
    Log(kInfo, L"[PELORUS][Cpuz][InitDll] CPUZ SDK version: 0x%08X",
        static_cast<unsigned>(version));
    Log(kInfo, L"******* END InitDll() *******");
    releaseMutexLock();
    return true;
  }
  Log(kError, L"[PELORUS][Cpuz][InitDll] Init result fail! ");
  releaseMutexLock();
  return false;
}

// --- Writing ----------------------------------------------------------------------------

// Rounds half up for non-negative values, truncating toward zero.
int64_t Rounded(float value) {
  const double v = value < 0 ? static_cast<double>(value) : static_cast<double>(value) + 0.5;
  return static_cast<int64_t>(v);
}

void Limits(QuonValueSet* node, const CPUIDSDK::Sensor& s) {
  if (static_cast<double>(s.minimum) < kFloatLimit) {
    node->SetDoubleValue("minValue", s.minimum);
    node->SetDoubleValue("MaxValue", s.maximum);
  }
}

void WriteSensorValue(QuonValueSet* node, int32_t sensorClass, const CPUIDSDK::Sensor& s) {
  switch (sensorClass) {
    case 0x1000:  // Voltage
      if (static_cast<double>(s.value) > -kFloatLimit) {
        node->SetDoubleValue("value", s.value);
        Limits(node, s);
      }
      break;
    case 0x2000:  // Temperature
      if (static_cast<double>(s.value) > -kFloatLimit) {
        node->SetDoubleValue("value_C", s.value + 0.5f);
        node->SetDoubleValue("value_F", s.value * 1.8f + 32.0f);
        if (static_cast<double>(s.minimum) < kFloatLimit) {
          node->SetDoubleValue("minValue_C", s.minimum + 0.5f);
          node->SetDoubleValue("minValue_F", s.minimum * 1.8f + 32.0f);
          node->SetDoubleValue("MaxValue_C", s.maximum + 0.5f);
          node->SetDoubleValue("MaxValue_F", s.maximum * 1.8f + 32.0f);
        }
      }
      break;
    case 0x3000:
    case 0x4000:
    case 0x5000:
    case 0x6000:  // Fan, Current, Power, FAN(PWM)
    case 0xA000:
    case 0xE000:
    case 0xF000:  // Capacity, Utilization, ClockSpeed
      if (Rounded(s.value) >= 0) {
        node->SetDoubleValue("value", s.value);
        Limits(node, s);
      }
      break;
    case 0x9000:
    case 0xC000:  // Position, Level
      node->SetDoubleValue("value", s.value);
      Limits(node, s);
      break;
    case 0xB000:
    case 0xD000:  // CaseOpen, Counter
      node->SetDoubleValue("value", s.raw);
      break;
    default:  // Pump(PWM), WaterLevel, BandWidth, PerfLimiter
      node->SetDoubleValue("value", s.raw);
      node->SetDoubleValue("minValue", s.minimum);
      node->SetDoubleValue("MaxValue", s.maximum);
      break;
  }
}

// How many entries at positions 0..limit-1 of a position map contain `key`.
int32_t CountContaining(const QuonValueSet* positions, int32_t limit, const std::string& key) {
  int32_t found = 0;
  for (int32_t p = 0; p < limit; ++p) {
    const std::u16string entry = positions->GetStringValue(std::to_string(p));
    const std::u16string wanted(key.begin(), key.end());
    if (!entry.empty() && entry.find(wanted) != std::u16string::npos) ++found;
  }
  return found;
}

void DumpSensorsInfo(int32_t d, int32_t count, int32_t sensorClass, QuonValueSet* classNode) {
  QuonValueSet* positions = classNode->GetChild("sensor_className");
  if (positions == nullptr) positions = classNode->CreateChild("sensor_className");
  const bool hadSensorNum = classNode->Contains("sensor_num");
  const int32_t earlierNum = hadSensorNum ? classNode->GetIntValue("sensor_num") : 0;
  const std::string counter = std::to_string(g_cz.sameDeviceCounter);

  for (int32_t i = 0; i < count; ++i) {
    CPUIDSDK::Sensor s;
    if (!g_cz.m_pSDK->SensorInfo(d, i, sensorClass, &s)) continue;
    const std::string base = "'" + s.name + "'";
    std::string key;
    int32_t position = i;
    if (g_cz.mHasSameDevice) {
      key = base + " #" + counter;
      const int32_t repeats = CountContaining(positions, i, key);
      if (repeats > 0) key += "-" + std::to_string(repeats);
      if (earlierNum < 0) {
        Log(kError,
            L"[PELORUS][DumpSensorsInfo] hasSameDevice but get the last sensorNum fail !!!");
      } else {
        position = earlierNum + i;
      }
    } else if (!classNode->Contains(base)) {
      key = base;
    } else {
      if (positions == nullptr) {
        Log(kError,
            L"[PELORUS][DumpSensorsInfo] 'no same device, has same sensor', get the last sensorNum "
            L"fail !!!");
        continue;
      }
      key = base + " #0-" + std::to_string(CountContaining(positions, i, base));
    }
    positions->SetStringValue(std::to_string(position), std::u16string(key.begin(), key.end()));

    QuonValueSet* sensor = classNode->CreateChild(key);
    if (sensor == nullptr) continue;  // a key longer than the tree allows
    sensor->SetUIntValue("id", s.id);
    std::string name = s.name;
    if (sensorClass == 0x2000 && g_cz.mHasSameDevice) name += " #" + counter;
    sensor->SetStringValue("name", FromAnsi(name));
    WriteSensorValue(sensor, sensorClass, s);

    std::printf(">>> cpu: 0x%X, type: 0x%X, class: 0x%X, id: 0x%X\n", (s.id >> 28) & 0xF,
                (s.id >> 22) & 0x3F, (s.id >> 12) & 0x3FF, s.id & 0xFFF);
    int32_t first = 0, second = 0;
    const float typeValue =
        g_cz.m_pSDK->SensorTypeValue(static_cast<int32_t>(s.id & ~0xFFFu), &first, &second);
    std::printf(">>> %d, %d, %f\n", first, second, static_cast<double>(typeValue));
  }

  if (!g_cz.mHasSameDevice) {
    classNode->SetValue("sensor_num", new OrbValue(count));
  } else if (!hadSensorNum || earlierNum < 1) {
    Log(kInfo, L"[PELORUS][DumpSensorsInfo] hasSameDevice but get the last sensorNum fail !!!");
    classNode->SetValue("sensor_num", new OrbValue(count));
  } else {
    classNode->SetValue("sensor_num", new OrbValue(earlierNum + count));
  }
}

void WriteMemoryClock(QuonValueSet* node) {
  QuonValueSet* memory = node->GetChild("Memory");
  if (memory == nullptr) memory = node->CreateChild("Memory");
  const double clock = g_cz.m_pSDK->MemoryClock();
  const int32_t type = g_cz.m_pSDK->MemoryType();
  QuonValueSet* clockNode = memory->GetChild("'ClockSpeed'");
  uint32_t n = 0;
  if (clockNode != nullptr && g_cz.mHasSameDevice) {
    n = static_cast<uint32_t>(g_cz.sameDeviceCounter);
  } else {
    clockNode = memory->CreateChild("'ClockSpeed'");
  }
  const std::string name = "memory #" + std::to_string(n);
  QuonValueSet* entry = clockNode->CreateChild(name);
  entry->SetUIntValue("id", n);
  entry->SetStringValue("name", std::u16string(name.begin(), name.end()));
  entry->SetDoubleValue("value", clock);
  entry->SetValue("type", new OrbValue(type));
  clockNode->SetValue("sensor_num", new OrbValue(static_cast<int32_t>(n + 1)));
  QuonValueSet* names = clockNode->GetChild("sensor_className");
  if (names == nullptr || n == 0) names = clockNode->CreateChild("sensor_className");
  names->SetStringValue(std::to_string(n), std::u16string(name.begin(), name.end()));
}

void HWMonitor(std::string dataType, std::string dataParam, QuonValueSet* node) {
  if (g_cz.m_pSDK == nullptr) {
    Log(kError, L"[PELORUS][HWMonitor] Fail... the m_pSDK is null !!!");
    return;
  }
  try {
    Log(kInfo, L"[PELORUS][HWMonitor] CPUZ SDK version: 0x%08X",
        static_cast<unsigned>(g_cz.m_pSDK->DllVersion()));
    g_cz.m_pSDK->Refresh();
    Sleep(kRefreshWaitMs);
    g_cz.m_pSDK->Refresh();
    Log(kInfo, L"[PELORUS][HWMonitor] NumberOfDevices = %d", g_cz.m_pSDK->DeviceCount());

    g_cz.deviceNames.clear();
    int32_t d = 0;
    for (; d < g_cz.m_pSDK->DeviceCount(); ++d) {
      const std::string className =
          g_cz.m_pSDK->HasDeviceClass() ? DeviceClassName(g_cz.m_pSDK->DeviceClass(d)) : "Unknown";
      g_cz.mHasSameDevice = false;
      g_cz.sameDeviceCounter = 0;
      for (const std::string& earlier : g_cz.deviceNames) {
        if (earlier == className) {
          ++g_cz.sameDeviceCounter;
          g_cz.mHasSameDevice = true;
        }
      }
      // Names beyond the list's capacity take part but are not remembered.
      if (g_cz.deviceNames.size() < kMaxDeviceNames) g_cz.deviceNames.push_back(className);
      if (d + 1 >= g_cz.m_pSDK->DeviceCount()) {
        std::wstring all;
        for (const std::string& name : g_cz.deviceNames)
          all += (all.empty() ? L"" : L", ") + Widen(name);
        Log(kInfo, L"[PELORUS][HWMonitor] The Devices Set is = %ls", all.c_str());
      }

      if (dataType.empty()) return;  // nothing asked for: not a completed dump
      if (dataType != "All" && dataType != className) continue;

      std::string deviceName = g_cz.m_pSDK->DeviceName(d);
      if (deviceName.empty()) deviceName = "Device " + std::to_string(d);
      const std::u16string wideName = FromAnsi(deviceName);

      QuonValueSet* device = node->GetChild(className);
      const bool reused = device != nullptr;
      if (reused) {
        g_cz.mHasSameDevice = true;
      } else {
        device = node->CreateChild(className);
      }

      int32_t classesWithSensors = 0;
      for (const SensorClass& sensorClass : LoopTable) {
        if (!dataParam.empty() && dataParam != "All" && dataParam != sensorClass.name) continue;
        const int32_t count = g_cz.m_pSDK->SensorCount(d, sensorClass.code);
        if (count <= 0) continue;
        ++classesWithSensors;
        QuonValueSet* classNode = device->GetChild(sensorClass.name);
        if (classNode == nullptr) classNode = device->CreateChild(sensorClass.name);
        DumpSensorsInfo(d, count, sensorClass.code, classNode);
      }

      const bool earlierDevice = device->Contains("sensorName");
      const int32_t total =
          classesWithSensors + (earlierDevice ? device->GetIntValue("sensorCount") : 0);
      device->SetValue("sensorCount", new OrbValue(total));
      device->SetStringValue(
          "sensorName",
          earlierDevice ? device->GetStringValue("sensorName") + u" , " + wideName : wideName);
      device->SetStringValue("sensorClassName", std::u16string(className.begin(), className.end()));
      device->SetValue("LastSingleSensorCount", new OrbValue(classesWithSensors));

      if (className == "Memory") WriteMemoryClock(node);
    }
    Progress(L"[PELORUS][HWMonitor] process 7-1, NumberOfDevices = %d, finish index = %d",
             g_cz.m_pSDK->DeviceCount(), d);
    g_cz.dumpCompleted = true;
    ++g_cz.progressRuns;
    if (g_cz.progressRuns >= 1) g_cz.progressLog = false;
  } catch (const std::exception& e) {
    g_cz.progressLog = true;
    Log(kError, L"[PELORUS][HwMonitor] error!!   error = %ls", Widen(e.what()).c_str());
  }
}

}  // namespace

void loadCPUzInfo(const std::string& dataType, const std::string& dataParam, QuonValueSet* node) {
  if (g_cz.m_hDLL == nullptr) {
    if (!InitDll()) {
      Log(kError, L"[PELORUS][loadCPUzInfo][Cpuz] fail load cpuz dll...");
      exitDll();
      return;
    }
  } else {
    Log(kInfo, L"[PELORUS][loadCPUzInfo][Cpuz] cpuz has been initial");
  }
  g_cz.dumpCompleted = false;
  try {
    HWMonitor(dataType, dataParam, node);
  } catch (const std::exception& e) {
    Log(kError, L"[PELORUS][loadCPUzInfo][Cpuz] HwMonitor error!!   error = %ls",
        Widen(e.what()).c_str());
  }
  if (!g_cz.dumpCompleted) exitDll();
}

void SetCpuzLogSink(OrbLogCallback callback, void* context, void* owner) {
  g_cz.sink.Set(callback, context, owner);
}
