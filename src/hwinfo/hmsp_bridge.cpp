// Bridge to hmcore_x64.dll and the HMSP service check (Win32-only).
#include "hwinfo/hmsp_bridge.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <string>
#include <vector>

#include "hwinfo/hw_log_sink.h"
#include "pelorus/value_set.h"
#include "support/platform_seams.h"
#include "support/service_utils.h"
#include "support/signature.h"
#include "support/win32.h"
#include "support/win32_handles.h"

namespace {

using HmGetData2 = int32_t (*)(int32_t dataType, void* records);

constexpr size_t kRecordBytes = 136;
constexpr uint32_t kSkipAbove = 100000;

// One sensor category: the library's data type, the node key, the "type"
// written, and the words of its log lines.
struct Category {
  int32_t dataType;
  const char* key;
  int32_t typeValue;
  const wchar_t* countName;
  const wchar_t* readerName;
  const wchar_t* beforeWord;
};
constexpr Category kCategories[5] = {
    {1, "Frequency", 1, L"cpuCount", L"GetFrequencyInfo", L"freq"},
    {2, "Voltage", 2, L"voltCount", L"GetVoltageInfo", L"vol"},
    {3, "Temperatue", 3, L"tempCount", L"GetTemperatureInfo", L"temp"},
    {4, "Fan", 4, L"fanCount", L"GetFanInfo", L"fan"},
    {14, "WaterFlow", 5, L"waterflowCount", L"GetWaterflowInfo", L"water"},
};

struct HmspState {
  HMODULE hHm = nullptr;  // never unloaded: stays until the process ends
  HmGetData2 entry = nullptr;
  bool initialised = false;
  int32_t counts[5] = {};
  bool hasBeenCheckHmspService = false;
  bool isHmspServiceRun = false;
  bool progressLog = true;
  int32_t progressRuns = 0;
  HwLogSink sink;
  const PinnedFile* pin = nullptr;  // what the next load must be
};
HmspState g_hm;

constexpr uint32_t kInfo = kOrbLogInfo;
constexpr uint32_t kError = kOrbLogError;

template <class... A>
void Log(uint32_t level, const wchar_t* format, A... args) {
  g_hm.sink.Write(level, format, args...);
}

std::wstring Widen(const char* text) {
  std::wstring wide;
  for (const char* p = text; *p != 0; ++p)
    wide += static_cast<wchar_t>(static_cast<unsigned char>(*p));
  return wide;
}

// Detailed progress: only while the switch is on and the sink is complete.
void Progress(const wchar_t* format, ...) {
  if (!g_hm.progressLog || g_hm.sink.callback == nullptr || g_hm.sink.owner == nullptr) return;
  va_list args;
  va_start(args, format);
  const bool ok = g_hm.sink.WriteProgressV(kInfo, format, args);
  va_end(args);
  if (!ok)
    Log(kError, L" [progressLog] error!!   error = %ls\n", L"the line could not be formatted");
}

const wchar_t* TrueFalse(bool value) {
  return value ? L"true" : L"false";
}

std::wstring Decimal(uint32_t value) {
  return std::to_wstring(value);
}
std::wstring Decimal(int32_t value) {
  return std::to_wstring(value);
}

uint32_t ReadU32(const uint8_t* record, size_t offset) {
  uint32_t value;
  std::memcpy(&value, record + offset, sizeof value);
  return value;
}
int32_t ReadI32(const uint8_t* record, size_t offset) {
  int32_t value;
  std::memcpy(&value, record + offset, sizeof value);
  return value;
}
// The name field: at most 32 UTF-16 units, up to the first NUL.
std::u16string ReadName(const uint8_t* record) {
  std::u16string name;
  for (size_t i = 0; i < 32; ++i) {
    char16_t c;
    std::memcpy(&c, record + 36 + i * 2, sizeof c);
    if (c == 0) break;
    name += c;
  }
  return name;
}

void SetText(QuonValueSet* node, const char* key, const std::wstring& text) {
  node->SetStringValue(key, ToU16(text));
}

// COM for the calling thread; true when this call must balance it. A thread
// already in another apartment keeps it, and is not uninitialised by us.
bool g_comStarted = false;

bool InitializeHW() {
  g_hm.initialised = false;
  g_comStarted = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  if (g_hm.hHm != nullptr) {
    Log(kInfo, L"[Pelorus][Hmsp][InitializeHW], hHm is not null, hmsp has been initial..");
  } else {
    // Where a debug build would look for the library: beside the host program.
    char exe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string debugPath(exe);
    debugPath = debugPath.substr(0, debugPath.find_last_of('\\')) + "\\hmcore_x64.dll";
    const char stars[] = "***************************************\n";
    Seams().outputDebugStringA(stars);
    Seams().outputDebugStringA(debugPath.c_str());
    Seams().outputDebugStringA(stars);
    Log(kInfo, L"[Pelorus][Hmsp][InitializeHW], debug dll path: %hs", debugPath.c_str());

    wchar_t programFiles[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"ProgramFiles", programFiles, MAX_PATH) >= MAX_PATH) {
      programFiles[0] = 0;
    }
    char narrowFolder[MAX_PATH * 2] = {};
    WideCharToMultiByte(CP_ACP, 0, programFiles, -1, narrowFolder, sizeof narrowFolder, nullptr,
                        nullptr);
    char path[260] = {};
    std::snprintf(path, sizeof path,
                  "%s\\QUON\\CORVANE KIOSK Lite Service\\Pelorus\\hmcore_x64.dll", narrowFolder);
    Log(kInfo, L"[Pelorus][Hmsp][InitializeHW], Real dll path: %hs", path);
    g_hm.hHm = LoadLibraryA(path);
    std::printf("hHm: %p\n", static_cast<void*>(g_hm.hHm));
    if (g_hm.hHm != nullptr && g_hm.pin != nullptr && !g_hm.pin->ConfirmImage(g_hm.hHm)) {
      // The narrow path may name another file than the checked one.
      FreeLibrary(g_hm.hHm);
      g_hm.hHm = nullptr;
      Log(kError,
          L"[Pelorus][Hmsp][InitializeHW], the library loaded is not the checked file, "
          L"unloaded");
      return false;
    }
    if (g_hm.hHm == nullptr) {
      Log(kError, L"[Pelorus][Hmsp][InitializeHW], loadLibrary fail, 'hHm' instance is null ...");
      return false;
    }
  }
  if (g_hm.entry == nullptr && g_hm.hHm != nullptr) {
    g_hm.entry = reinterpret_cast<HmGetData2>(
        reinterpret_cast<void*>(GetProcAddress(g_hm.hHm, "HM_GetData2")));
    std::printf("HM_GetData2: %p\n", reinterpret_cast<void*>(g_hm.entry));
  }
  Log(kInfo, L"[Pelorus][Hmsp][InitializeHW], get HM_GetData2 = %ls",
      TrueFalse(g_hm.entry != nullptr));
  if (g_hm.entry == nullptr) {
    Log(kError, L"[Pelorus][Hmsp][InitializeHW], get HM_GetData2 fail.... GetLastError=%lx",
        GetLastError());
    return false;
  }
  for (size_t c = 0; c < 5; ++c) {
    g_hm.counts[c] = g_hm.entry(kCategories[c].dataType, nullptr);
    Progress(L"[PELORUS][Hmsp] %ls = %d, ... \n", kCategories[c].countName, g_hm.counts[c]);
  }
  g_hm.initialised = true;
  return true;
}

// One category reader into its node.
void ReadCategory(size_t c, QuonValueSet* node) {
  const Category& category = kCategories[c];
  const bool frequency = c == 0;
  if (frequency) Progress(L"[PELORUS][Hmsp] Star GetFrequencyInfo()\n");
  if (g_hm.counts[c] < 1) {
    Progress(L"[PELORUS][Hmsp] count < 0, return, %ls = %d\n", category.countName, g_hm.counts[c]);
    return;
  }
  const size_t count = static_cast<size_t>(g_hm.counts[c]);
  const size_t bytes = count > std::numeric_limits<size_t>::max() / kRecordBytes
                           ? std::numeric_limits<size_t>::max()
                           : count * kRecordBytes;
  std::vector<uint8_t> records(bytes);
  Progress(L"[PELORUS][Hmsp] before HM_GetData2, %ls\n", category.beforeWord);
  g_hm.entry(category.dataType, records.data());
  Progress(L"[PELORUS][Hmsp] %ls HM_GetData2, %ls\n", frequency ? L"After" : L"after",
           category.beforeWord);

  int32_t listed = 0;
  for (int32_t i = 0; i < g_hm.counts[c] && static_cast<size_t>(i) < count; ++i) {
    const uint8_t* record = records.data() + static_cast<size_t>(i) * kRecordBytes;
    const uint32_t current = ReadU32(record, 4);
    const std::u16string name = ReadName(record);
    if (current > kSkipAbove) {
      Progress(L"[PELORUS][Hmsp] continue, > 100000,  DataName=%ls, Current = %d\n",
               reinterpret_cast<const wchar_t*>(name.c_str()), static_cast<int32_t>(current));
      continue;
    }
    ++listed;
    node->SetValue("type", new QuonValueSet::OrbValue(category.typeValue));
    node->SetValue("realCount", new QuonValueSet::OrbValue(listed));
    QuonValueSet* value = node->CreateChild("value" + std::to_string(listed - 1));
    // Voltage and temperature readings below their floor count as unavailable.
    int32_t available = 1;
    if (category.dataType == 2) available = static_cast<int32_t>(current) > -50000 ? 1 : 0;
    if (category.dataType == 3) available = static_cast<int32_t>(current) > -2730 ? 1 : 0;
    const bool availableLast = category.dataType == 2 || category.dataType == 3;
    value->SetValue("count", new QuonValueSet::OrbValue(i));
    value->SetValue("totalCount", new QuonValueSet::OrbValue(g_hm.counts[c]));
    value->SetStringValue("name", name);
    value->SetValue("type", new QuonValueSet::OrbValue(category.typeValue));
    SetText(value, "Id", Decimal(ReadU32(record, 0)));
    SetText(value, "warningLevel", Decimal(ReadU32(record, 8)));
    if (!availableLast) value->SetValue("valueAvailable", new QuonValueSet::OrbValue(available));
    SetText(value, "current", Decimal(current));
    SetText(value, "hightLimit", Decimal(ReadI32(record, 12)));
    SetText(value, "lowLimit", Decimal(ReadI32(record, 16)));
    SetText(value, "threshold", Decimal(ReadI32(record, 24)));
    SetText(value, "thresholdHigh", Decimal(ReadI32(record, 28)));
    SetText(value, "isMonitoring", Decimal(ReadU32(record, 32)));
    SetText(value, "isHidden", Decimal(ReadU32(record, 100)));
    if (availableLast) value->SetValue("valueAvailable", new QuonValueSet::OrbValue(available));
  }
}

std::wstring Dump(const QuonValueSet* node) {
  return ToWide(node->ToString());
}

void ReadAll(QuonValueSet* node) {
  QuonValueSet* children[5];
  for (size_t c = 0; c < 5; ++c) children[c] = node->CreateChild(kCategories[c].key);
  for (size_t c = 0; c < 5; ++c) {
    ReadCategory(c, children[c]);
    if (c == 0) {
      if (g_hm.progressLog) {
        Progress(L"[PELORUS][Hmsp] END GetFrequencyInfo() %ls\n", Dump(children[0]).c_str());
      }
    } else {
      Progress(L"[PELORUS][Hmsp] END %ls()\n", kCategories[c].readerName);
    }
  }
  if (g_hm.progressLog) {
    const wchar_t* tags[5] = {L"Freq", L"Vol", L"Temp", L"Fan", L"Water"};
    for (size_t c = 0; c < 5; ++c) {
      Log(kInfo, L"[Pelorus][Hmsp][GetHardwareInfo][%ls], %ls", tags[c], Dump(children[c]).c_str());
    }
    ++g_hm.progressRuns;
    if (g_hm.progressRuns >= 1) g_hm.progressLog = false;
  }
}

}  // namespace

extern "C" void GetHardwareInfo(uint32_t category, QuonValueSet* node) {
  g_comStarted = false;
  try {
    Log(kInfo, L"[Pelorus][Hmsp][InitializeHW], start InitializeHW ....");
    const bool ok = InitializeHW();
    Log(kInfo, L"[Pelorus][Hmsp][InitializeHW], finish InitializeHW()..., isInitialSucess = %ls",
        TrueFalse(ok));
    if (!ok || !g_hm.initialised) {
      Log(kInfo, L"[Pelorus][Hmsp][GetHardwareInfo], initial fail.... !!");
    } else if (node != nullptr && category == 0) {
      ReadAll(node);
    } else if (node != nullptr && category >= 1 && category <= 5) {
      ReadCategory(category - 1, node->CreateChild(kCategories[category - 1].key));
    }
  } catch (const std::exception& e) {
    Log(kInfo, L"[Pelorus][Hmsp][GetHardwareInfo], error = %ls", Widen(e.what()).c_str());
  }
  if (g_comStarted) CoUninitialize();
}

extern "C" bool checkIfHmspRun(const wchar_t* serviceName) {
  try {
    const wchar_t* name = serviceName != nullptr ? serviceName : L"";
    constexpr wchar_t kTag[] = L"[Pelorus][Hmsp][checkIfHmspRun], ";
    unique_schandle manager(OpenSCManagerW(nullptr, nullptr, GENERIC_READ));
    Log(kInfo, L"%lsChecking %ls ", kTag, name);
    if (!manager) {
      Log(kInfo, L"%lsFailed to OpenSCManager(): %d ", kTag, static_cast<int>(GetLastError()));
      return false;
    }
    unique_schandle service(OpenServiceW(manager.get(), name, GENERIC_READ));
    if (!service) {
      const DWORD error = GetLastError();
      if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
        Log(kInfo, L"%lsService does not exist.", kTag);
      } else {
        Log(kInfo, L"%lsFailed to OpenService(): %d ", kTag, static_cast<int>(error));
      }
      return false;
    }
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    const BOOL queried =
        QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                             reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
    Log(kInfo, L"%lsQueryServiceStatusEx result = %d ", kTag, queried);
    if (!queried) {
      Log(kInfo, L"%lsQueryServiceStatusEx failed (%d) ", kTag, static_cast<int>(GetLastError()));
      return false;
    }
    Log(kInfo, L"%lsCurrent state: %d ", kTag, static_cast<int>(status.dwCurrentState));
    if (status.dwCurrentState == SERVICE_RUNNING) {
      g_hm.hasBeenCheckHmspService = true;
      g_hm.isHmspServiceRun = true;
      Log(kInfo, L"%lsService is Running, mHasBeenCheckHmspService = %ls, mIsHmspServiceRun = %ls",
          kTag, TrueFalse(g_hm.hasBeenCheckHmspService), TrueFalse(g_hm.isHmspServiceRun));
      return true;
    }
    if (std::wcscmp(name, L"hbComSvc") == 0) {
      Log(kInfo, L"%lsService is not running, try start hbComSvc...", kTag);
      wchar_t programFiles[MAX_PATH] = {};
      if (GetEnvironmentVariableW(L"ProgramFiles", programFiles, MAX_PATH) >= MAX_PATH) {
        programFiles[0] = 0;
      }
      wchar_t path[MAX_PATH] = {};
      std::swprintf(path, MAX_PATH, L"%ls\\%ls", programFiles,
                    L"QUON\\CORVANE KIOSK Lite Service\\Pelorus\\HMSP");
      std::wstring program = std::wstring(path) + L"\\hwbridgeComSvc.exe";
      // Pinned from the check until "sc start" has returned.
      PinnedFile pin;
      if (!CheckEmbeddedSigner(program.c_str(), &pin)) {
        Log(kInfo, L"%lsretry start hbComSvc fail..., signature error!!", kTag);
      } else if (!ServiceProgramIs(service.get(), program)) {
        Log(kError, L"%lsretry start hbComSvc fail..., the service runs another program than %ls",
            kTag, program.c_str());
      } else {
        // Issues the start and returns; the service comes up on its own.
        _wsystem(L"sc start hbComSvc");
      }
    }
    return false;
  } catch (const std::exception&) {
    return false;
  }
}

HMODULE HmspLoadedLibrary() {
  return g_hm.hHm;
}

void SetHmspLibraryPin(const PinnedFile* pin) {
  g_hm.pin = pin;
}

extern "C" bool HasBeenCheckHmspService() {
  return g_hm.hasBeenCheckHmspService;
}
extern "C" bool IsHmspServiceRun() {
  return g_hm.isHmspServiceRun;
}

extern "C" void initialLogParamForHmsp(OrbLogCallback callback, void* context, void* owner) {
  g_hm.sink.Set(callback, context, owner);
}
