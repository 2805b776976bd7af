// The smart-cooling bridge (Win32-only): load SmartCoolLib.dll, call one
// export, free it again (initialize keeps its reference).
#include "firmware/smart_cool_bridge.h"

#include <cwchar>
#include <exception>
#include <string>

#include "support/signature.h"
#include "support/win32.h"

namespace AIControlHandler {
namespace {

constexpr uint32_t kLevelResult = 4;
constexpr uint32_t kLevelLoad = 5;

struct LogSink {
  OrbLogCallback callback = nullptr;
  void* context = nullptr;
  void* owner = nullptr;
};
LogSink g_sink;
const PinnedFile* g_pin = nullptr;  // what every load must be, while set

// One line to the sink. The format is the bridge's own; texts from the
// library or the system only ever arrive as arguments.
template <class... Args>
void LogLine(uint32_t level, const std::wstring& format, Args... args) {
  const LogSink sink = g_sink;
  if (sink.callback == nullptr) return;
  // The callback may touch the thread's last error, which callers still read.
  const DWORD error = GetLastError();
  sink.callback(sink.context, static_cast<IOrbPlugin*>(sink.owner), level, format.c_str(), args...);
  SetLastError(error);
}

std::wstring Tag(const wchar_t* operation) {
  return std::wstring(L"[Pelorus][AIControlHandler][") + operation + L"], ";
}

std::wstring Widen(const char* text) {
  std::wstring wide;
  for (const char* p = text; p != nullptr && *p != 0; ++p) {
    wide.push_back(static_cast<unsigned char>(*p));
  }
  return wide;
}

const wchar_t* TrueFalse(bool value) {
  return value ? L"true" : L"false";
}

// The library in the plug-in folder; null when it cannot be loaded (the
// thread's last error then says why).
HMODULE getDllInstance() {
  try {
    wchar_t programFiles[MAX_PATH] = {};
    const DWORD chars = GetEnvironmentVariableW(L"ProgramFiles", programFiles, MAX_PATH);
    if (chars == 0 || chars >= MAX_PATH) programFiles[0] = L'\0';
    wchar_t path[MAX_PATH] = {};
    if (std::swprintf(path, MAX_PATH, L"%ls\\%ls\\SmartCoolLib.dll", programFiles,
                      L"QUON\\CORVANE KIOSK Lite Service\\Pelorus") < 0) {
      path[0] = L'\0';
    }
    LogLine(kLevelLoad, Tag(L"getDllInstance") + L"Dll Path: %ls", path);
    HMODULE module = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    LogLine(kLevelLoad, Tag(L"getDllInstance") + L"GetLastError=%lx", GetLastError());
    if (module != nullptr && g_pin != nullptr && !g_pin->ConfirmImage(module)) {
      FreeLibrary(module);
      LogLine(kLevelResult, Tag(L"getDllInstance") + L"%ls loaded is not the checked file", path);
      SetLastError(ERROR_ACCESS_DENIED);
      return nullptr;
    }
    return module;
  } catch (const std::exception& e) {
    LogLine(kLevelResult, Tag(L"getDllInstance") + L"fail = %ls", Widen(e.what()).c_str());
    return nullptr;
  }
}

// How a wrapper treats the library reference it loaded.
enum class Reference { kFree, kKeep };

// Calls the export `name` of a freshly loaded library with `args`; the
// result's low byte is the answer. `noLibrary` is the wrapper's own text
// for a library that cannot be loaded.
template <class... Args>
bool CallExport(const wchar_t* operation, const char* name, const wchar_t* noLibrary,
                Reference reference, Args... args) {
  bool result = false;
  try {
    HMODULE module = getDllInstance();
    if (module == nullptr) {
      LogLine(kLevelResult, Tag(operation) + noLibrary + L"GetLastError=%lx", GetLastError());
    } else {
      using Export = unsigned char (*)(Args...);
      auto function =
          reinterpret_cast<Export>(reinterpret_cast<void*>(GetProcAddress(module, name)));
      if (function != nullptr) {
        result = (function(args...) & 0xFF) != 0;
      } else {
        LogLine(kLevelResult, Tag(operation) + L"Dll get function fail = %hs", name);
      }
    }
    LogLine(kLevelResult, Tag(operation) + L"function = %hs,  result = %ls", name,
            TrueFalse(result));
    if (module != nullptr && reference == Reference::kFree) FreeLibrary(module);
  } catch (const std::exception& e) {
    LogLine(kLevelResult, Tag(operation) + L"fail = %ls", Widen(e.what()).c_str());
  }
  return result;
}

constexpr wchar_t kNullOrFalse[] = L"Dll 'pLib' null or false, ";

bool initialize() {
  return CallExport(L"initialize", "initialize", kNullOrFalse, Reference::kKeep);
}
bool isSupoortAIFunction(uint32_t type) {
  return CallExport(L"isSupoortAIFunction", "isSupoortAIFunction", L"Dll 'pLib' null or false, , ",
                    Reference::kFree, type);
}
bool getItem(uint32_t type, uint32_t* item) {
  return CallExport(L"getItem", "getItem", kNullOrFalse, Reference::kFree, type, item);
}
bool setItem(uint32_t type, uint32_t* item) {
  return CallExport(L"setItem", "setItem", kNullOrFalse, Reference::kFree, type, item);
}
bool unInitialize() {
  return CallExport(L"unInitialize", "unInitialize", L"Dll 'pLib' false, ", Reference::kFree);
}

// initialize -> operation -> unInitialize, with the entry point's result line.
bool ItemSetting(const wchar_t* operation, bool (*call)(uint32_t, uint32_t*), uint32_t type,
                 uint32_t* item) {
  bool result = false;
  if (initialize()) {
    result = call(type, item);
  } else {
    LogLine(kLevelResult, Tag(operation) + L"initialize fail");
  }
  LogLine(kLevelResult, Tag(operation) + L"bResult = %ls, type = %d, item = %d", TrueFalse(result),
          static_cast<int>(type), item != nullptr ? static_cast<int>(*item) : 0);
  unInitialize();
  return result;
}

}  // namespace

void SetVerifiedFile(const PinnedFile* pin) {
  g_pin = pin;
}

void SetLogSink(OrbLogCallback callback, void* context, void* owner) {
  g_sink = LogSink{callback, context, owner};
}

bool checkIsSupportAIFunction(uint32_t type) {
  bool result = false;
  if (initialize()) {
    result = isSupoortAIFunction(type);
  } else {
    LogLine(kLevelResult, Tag(L"checkIsSupportAIFunction") + L"initialize fail");
  }
  LogLine(kLevelResult, Tag(L"checkIsSupportAIFunction") + L"type = %d, bResult = %ls",
          static_cast<int>(type), TrueFalse(result));
  unInitialize();
  return result;
}

bool setItemSetting(uint32_t type, uint32_t* item) {
  return ItemSetting(L"setItemSetting", &setItem, type, item);
}

bool getItemSetting(uint32_t type, uint32_t* item) {
  return ItemSetting(L"getItemSetting", &getItem, type, item);
}

}  // namespace AIControlHandler
