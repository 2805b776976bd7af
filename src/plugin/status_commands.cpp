// The status-check commands (Win32-only): whether the socket server and the
// framework program run (starting one when needed), whether the framework's
// HTTP port listens, the read-and-clear resume and restart flags, the
// feature word, a device's HTTP front end and a caller-named registry string.
#include <iphlpapi.h>

#include <cstring>
#include <cwchar>
#include <exception>
#include <string>
#include <vector>

#include "firmware/power_saving.h"
#include "plugin/pelorus.h"
#include "plugin/startup_checks.h"
#include "support/decimal_text.h"
#include "support/diag_log.h"
#include "support/process_utils.h"
#include "support/registry_utils.h"

namespace {

using OrbValue = QuonValueSet::OrbValue;

constexpr wchar_t kSocketServerCommandLine[] =
    L"C:\\Program Files (x86)\\QUON\\CorvaneDevice\\dll\\CorvaneSocketServer\\"
    L"CorvaneSocketServer.exe -run";
constexpr wchar_t kFrameworkProgram[] =
    L"C:\\Program Files (x86)\\QUON\\CorvaneDevice\\quon_framework.exe";
constexpr wchar_t kSocketServerProcess[] = L"CorvaneSocketServer.exe";
constexpr wchar_t kFrameworkProcess[] = L"quon_framework.exe";
constexpr wchar_t kSdkKey[] = L"SOFTWARE\\WOW6432Node\\QUON\\CorvaneSDK\\MainSDK";
constexpr wchar_t kDeviceKey[] = L"SOFTWARE\\WOW6432Node\\QUON\\CorvaneDevice";
constexpr wchar_t kHttpDeviceKeys[] = L"SOFTWARE\\WOW6432Node\\QUON\\CorvaneHttp";
constexpr int kDefaultFrameworkPort = 1042;

// Characters of the registry text buffers of GetHTMLSupport and CheckDebugMode.
constexpr size_t kTextChars = 260;

// The system's log texts are ASCII: each UTF-16 unit becomes one byte.
std::string Narrow(const char16_t* text) {
  std::string narrow;
  for (; *text != 0; ++text) narrow.push_back(static_cast<char>(*text));
  return narrow;
}

// An exception's message for a wide host-log argument (bytes widened one by one).
std::u16string Widen(const char* text) {
  std::u16string wide;
  for (; *text != 0; ++text) wide.push_back(static_cast<unsigned char>(*text));
  return wide;
}

// The String `key` of the Child `child` of the request; empty when either is
// missing or of another kind.
std::wstring ChildString(const QuonValueSet* request, const char* child, const char* key) {
  const QuonValueSet* node = request != nullptr ? request->GetChild(child) : nullptr;
  return node != nullptr ? ToWide(node->GetStringValue(key)) : std::wstring();
}

// Copies `text` into a buffer of kTextChars, cut so that it stays terminated.
void CopyBounded(wchar_t (&buffer)[kTextChars], const std::wstring& text) {
  const size_t chars = text.size() < kTextChars ? text.size() : kTextChars - 1;
  std::wmemcpy(buffer, text.data(), chars);
  buffer[chars] = L'\0';
}

// Reads `name` of HKLM\`path` as text into `buffer` (kTextChars, zero-filled
// by the caller); the buffer stays terminated even when the value fills it.
// Failures go to the diagnostic log; the buffer is then left empty.
bool ReadRegistryText(const wchar_t* path, const wchar_t* name, wchar_t (&buffer)[kTextChars]) {
  unique_hkey key;
  LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, key.put());
  if (status != ERROR_SUCCESS) {
    if (status != ERROR_FILE_NOT_FOUND) dump_output_time(&SLog, "RegOpenKeyEx error ");
    return false;
  }
  DWORD bytes = sizeof buffer;
  status =
      RegQueryValueExW(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &bytes);
  if (status != ERROR_SUCCESS) {
    dump_output_time(&SLog, "RegQueryValueEx error ");
    buffer[0] = L'\0';
    return false;
  }
  const size_t end = bytes / sizeof(wchar_t);
  buffer[end < kTextChars ? end : kTextChars - 1] = L'\0';
  return true;
}

// Whether the first row of the sorted IPv4 TCP table whose local port is
// `port` is in the listening state; false when no row has that port or the
// table cannot be read. The first call asks with a small buffer; when that
// is too small the second uses the size the first reported.
bool FirstRowWithPortListens(int port) {
  std::vector<unsigned char> buffer(sizeof(MIB_TCPTABLE2));
  ULONG size = static_cast<ULONG>(buffer.size());
  auto* table = reinterpret_cast<MIB_TCPTABLE2*>(buffer.data());
  ULONG status = GetTcpTable2(table, &size, TRUE);
  if (status == ERROR_INSUFFICIENT_BUFFER) {
    buffer.assign(size, 0);
    table = reinterpret_cast<MIB_TCPTABLE2*>(buffer.data());
    status = GetTcpTable2(table, &size, TRUE);
  }
  if (status != NO_ERROR) return false;
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const MIB_TCPROW2& row = table->table[i];
    // The port is in network byte order in the low 16 bits.
    const int localPort =
        static_cast<int>(((row.dwLocalPort & 0xFFu) << 8) | ((row.dwLocalPort >> 8) & 0xFFu));
    if (localPort == port) {
      return row.dwState == MIB_TCP_STATE_LISTEN;
    }
  }
  return false;
}

}  // namespace

void Pelorus::LogBoth(uint32_t level, const char16_t* text) const {
  Log(level, text);
  dump_output_time(&SLog, "%s", Narrow(text).c_str());
}

// --- CheckCorvaneSocketServer ----------------------------------------------------------

HRESULT Pelorus::DoCheckCorvaneSocketServer(IOrbLibrary*, QuonValueSet*, QuonValueSet*) {
  Log(kOrbLogTrace, u"[TesseraPluginService][DoCheckCorvaneSocketServer] star");
  try {
    const DWORD socketServer = FindProcessIdByName(kSocketServerProcess);
    const DWORD framework = FindProcessIdByName(kFrameworkProcess);
    const std::wstring sdk = RegGetStringValue(kSdkKey, L"Version");

    LogBoth(kOrbLogInfo, framework != 0 ? u"[TesseraPluginService] quon_framework.exe exist"
                                        : u"[TesseraPluginService] quon_framework.exe not found");
    if (socketServer != 0) {
      LogBoth(kOrbLogInfo, u"[TesseraPluginService] CorvaneDevice.exe exist");
    } else if (!sdk.empty()) {
      LogBoth(kOrbLogInfo, u"[TesseraPluginService] CorvaneSocketServer.exe not found");
      LogBoth(kOrbLogInfo, u"[TesseraPluginService] Launch CorvaneDevice");
      // CreateProcessW may write into the command line: a copy of our own.
      std::wstring commandLine = kSocketServerCommandLine;
      const bool launched = LaunchProgram(commandLine.data());
      Log(kOrbLogInfo, u"[TesseraPluginService]Launch CorvaneSocketServer : %s",
          launched ? u"true" : u"false");
      dump_output_time(&SLog, "[TesseraPluginService]Launch CorvaneSocketServer : %s",
                       launched ? "true" : "false");
    } else if (framework != 0) {
      LogBoth(kOrbLogInfo, u"[TesseraPluginService] CorvaneDevice.exe exist");
    } else {
      std::wstring commandLine = kFrameworkProgram;
      const bool launched = LaunchProgram(commandLine.data());
      Log(kOrbLogInfo, u"[TesseraPluginService]Launch Framework : %s",
          launched ? u"true" : u"false");
      dump_output_time(&SLog, "[TesseraPluginService]Launch Framework : %s",
                       launched ? "true" : "false");
    }
  } catch (const std::exception&) {
    LogBoth(kOrbLogException, u"[TesseraPluginService][DoCheckCorvaneSocketServer] Fail");
    return 1;
  }
  Log(kOrbLogTrace, u"[TesseraPluginService][DoCheckCorvaneSocketServer] END");
  return 0;
}

// --- CheckFrameworkReady ----------------------------------------------------------------

HRESULT Pelorus::DoCheckFrameworkReady(IOrbLibrary*, QuonValueSet*, QuonValueSet* response) {
  Log(kOrbLogTrace, u"[TesseraPluginService][DoCheckFrameworkReady] star");
  try {
    const std::wstring portText = RegGetStringValue(kDeviceKey, L"HTTPPort");
    int port = kDefaultFrameworkPort;
    if (portText.empty()) {
      LogBoth(kOrbLogInfo, u"[TesseraPluginService] No Regedit use HTTPPort : 1042");
    } else {
      port = DecimalToInt(portText);
      Log(kOrbLogInfo, u"[TesseraPluginService] Regedit HTTPPort : %ls",
          AsU16Text(portText.c_str()));
      dump_output_time(&SLog, "[TesseraPluginService] Regedit HTTPPort : %ls", portText.c_str());
    }

    const bool listening = FirstRowWithPortListens(port);
    Log(kOrbLogInfo, u"[TesseraPluginService] Check Framework Tcp %s",
        listening ? u"true" : u"false");
    dump_output_time(&SLog, "[TesseraPluginService] Check Framework Tcp %s",
                     listening ? "true" : "false");
    response->SetValue("result", new OrbValue(listening));
  } catch (const std::exception& e) {
    Log(kOrbLogException, u"[TesseraPluginService][DoCheckFrameworkReady]Exception: %s",
        Widen(e.what()));
    dump_output_time(&SLog, "[TesseraPluginService][DoCheckFrameworkReady]Exception: %s", e.what());
  } catch (...) {
    LogBoth(kOrbLogException, u"[TesseraPluginService][DoCheckFrameworkReady]Other Exception");
  }
  Log(kOrbLogTrace, u"[TesseraPluginService][DoCheckFrameworkReady] END");
  return 0;
}

// --- The read-and-clear flags ------------------------------------------------------------

HRESULT Pelorus::DoCheckSystemResume(IOrbLibrary*, QuonValueSet*, QuonValueSet* response) {
  Log(kOrbLogTrace, u"[DoCheckSystemResume] star");
  // A suspend reported between the read and the clear merges with this one.
  const bool resumed = TakeResumeFlag();
  LogBoth(kOrbLogInfo,
          resumed ? u"[DoCheckSystemResume] Resume: TRUE" : u"[DoCheckSystemResume] Resume: FALSE");
  response->SetValue("check_SystemResume", new OrbValue(resumed));
  Log(kOrbLogTrace, u"[DoCheckSystemResume] END");
  return 0;
}

HRESULT Pelorus::DoCheckCKServiceRestart(IOrbLibrary*, QuonValueSet*, QuonValueSet* response) {
  Log(kOrbLogTrace, u"[DoCheckCKServiceRestart] star");
  const bool initialized = m_bInitializedFlag.exchange(false);
  LogBoth(kOrbLogInfo, initialized ? u"[DoCheckCKServiceRestart] m_bInitializedFlag = TRUE"
                                   : u"[DoCheckCKServiceRestart] m_bInitializedFlag = FALSE");
  response->SetValue("check_CkServiceRestart", new OrbValue(initialized));
  Log(kOrbLogTrace, u"[DoCheckCKServiceRestart] END");
  return 0;
}

// --- The feature word ----------------------------------------------------------------------

HRESULT Pelorus::DoGetFeatures(IOrbLibrary*, QuonValueSet*, QuonValueSet* response) {
  Log(kOrbLogTrace, u"[DoGetFeatures] star");
  response->SetValue("features", new OrbValue(static_cast<int32_t>(FeatureBits.load() & 1u)));
  Log(kOrbLogTrace, u"[DoGetFeatures] END");
  return 0;
}

HRESULT Pelorus::DoGetType40Info(IOrbLibrary*, QuonValueSet* request, QuonValueSet* response) {
  dump_output_time(&SLog, "DoGetType40Info");
  const std::wstring info = ChildString(request, "Type40", "Info");
  const uint32_t features = FeatureBits.load();
  dump_output_time(&SLog, "[DoGetType40Info] information = %ls", info.c_str());
  dump_output_time(&SLog, "[DoGetType40Info] features = %d", static_cast<int>(features));
  if (info == L"features") {
    dump_output_time(&SLog, "[DoGetType40Info] reply features %d", static_cast<int>(features));
    response->SetValue("features", new OrbValue(static_cast<int32_t>(features)));
  }
  dump_output_time(&SLog, "END DoGetType40Info");
  return 0;
}

// --- Registry texts ------------------------------------------------------------------------

HRESULT Pelorus::DoGetHTMLSupport(IOrbLibrary*, QuonValueSet* request, QuonValueSet* response) {
  Log(kOrbLogProgress, u"[DoGetHTMLSupport] star");
  const std::wstring device = ChildString(request, "HTMLInfo", "CorvaneHttp");
  const std::wstring path = std::wstring(kHttpDeviceKeys) + L"\\" + device;

  wchar_t displayName[kTextChars] = {};
  wchar_t version[kTextChars] = {};
  const bool supported = ReadRegistryText(path.c_str(), L"DisplayName", displayName);
  ReadRegistryText(path.c_str(), L"Version", version);

  response->SetStringValue("IsHTTPSupported", supported ? u"true" : u"false");
  response->SetStringValue("DisplayName", AsU16Text(displayName));
  response->SetStringValue("Version", AsU16Text(version));
  Log(kOrbLogProgress, u"[DoGetHTMLSupport] END");
  return 0;
}

HRESULT Pelorus::DoCheckDebugMode(IOrbLibrary*, QuonValueSet* request, QuonValueSet* response) {
  Log(kOrbLogTrace, u"[DoCheckDebugMode] star");
  wchar_t path[kTextChars];
  wchar_t name[kTextChars];
  CopyBounded(path, ChildString(request, "DebugMode", "DebugPath"));
  CopyBounded(name, ChildString(request, "DebugMode", "DebugKey"));

  wchar_t text[kTextChars] = {};
  ReadRegistryText(path, name, text);

  std::string key;
  for (const wchar_t* p = name; *p != 0; ++p) key.push_back(static_cast<char>(*p & 0xFF));
  response->SetStringValue(key, AsU16Text(text));
  Log(kOrbLogInfo, u"[DoCheckDebugMode] %s = %ls", AsU16Text(name), AsU16Text(text));
  Log(kOrbLogTrace, u"[DoCheckDebugMode] END");
  return 0;
}
