// Windows power-plan commands (Win32-only): open the Power Options page for
// the user, report the active power scheme, switch between the three
// standard schemes. Every handler answers status 0; failures show in the logs.
#include <shlobj.h>

#include <cwchar>
#include <string>

#include "plugin/pelorus.h"
#include "support/diag_log.h"
#include "support/guid_text.h"
#include "support/win32.h"
#include "support/win32_handles.h"

#if defined(_MSC_VER)
#include <powersetting.h>
#else
// powrprof.dll; the Windows SDK declares these in <powersetting.h>, which
// MinGW-w64 does not ship.
extern "C" DWORD WINAPI PowerGetActiveScheme(HKEY userRootPowerKey, GUID** activePolicyGuid);
extern "C" DWORD WINAPI PowerSetActiveScheme(HKEY userRootPowerKey, const GUID* schemeGuid);
#endif

namespace {

// The three standard schemes and the client's words for them.
constexpr GUID kBalancedScheme = {
    0x381B4222, 0xF694, 0x41F0, {0x96, 0x85, 0xFF, 0x5B, 0xB2, 0x60, 0xDF, 0x2E}};
constexpr GUID kPowerSaverScheme = {
    0xA1841308, 0x3541, 0x4FAB, {0xBC, 0x81, 0xF7, 0x15, 0x56, 0xF2, 0x0B, 0x4A}};
constexpr GUID kHighPerformanceScheme = {
    0x8C5E7FDA, 0xE8BF, 0x4A96, {0x9A, 0x85, 0xA6, 0xE2, 0x3A, 0x8C, 0x63, 0x5C}};

struct SchemeWord {
  const char16_t* command;
  const GUID* scheme;
  const char16_t* hostLine;
  const char* diagLine;
};

constexpr SchemeWord kSchemeWords[] = {
    {u"AutoBalance", &kBalancedScheme, u"[DoSetPowerStatus] Set to Automatic Balance Mode",
     "[DoSetPowerStatus] Set to Automatic Balance Mode"},
    {u"PowerSaver", &kPowerSaverScheme, u"[DoSetPowerStatus] Set to Power Saver Mode",
     "[DoSetPowerStatus] Set to Power Saver Mode"},
    {u"HighPerformance", &kHighPerformanceScheme,
     u"[DoSetPowerStatus] Set to High Performance Mode",
     "[DoSetPowerStatus] Set to High Performance Mode"},
};

constexpr wchar_t kControlPanelFormat[] = L"%ls\\control.exe /name Microsoft.PowerOptions";
constexpr DWORD kControlPanelFlags =
    CREATE_UNICODE_ENVIRONMENT | NORMAL_PRIORITY_CLASS | CREATE_NEW_CONSOLE;  // 0x430

}  // namespace

HRESULT Pelorus::DoOpenPowerOptionPage(IOrbLibrary*, QuonValueSet*, QuonValueSet*) {
  Log(kOrbLogInfo, u"[DoOpenPowerOptionPage] m_inUserSession = %d", m_inUserSession);
  dump_output_time(&SLog, "[DoOpenPowerOptionPage] m_inUserSession = %d",
                   static_cast<int>(m_inUserSession));

  wchar_t systemFolder[MAX_PATH] = {};
  if (SUCCEEDED(
          SHGetFolderPathW(nullptr, CSIDL_SYSTEM, nullptr, SHGFP_TYPE_CURRENT, systemFolder))) {
    unique_environment_block environment;
    if (!CreateEnvironmentBlock(environment.put(), nullptr, FALSE)) {
      // The started process then inherits this process's environment.
      dump_errorcode(&SLog, "[DoOpenPowerOptionPage] CreateEnvironmentBlock");
    }

    wchar_t commandLine[MAX_PATH] = {};
    if (std::swprintf(commandLine, MAX_PATH, kControlPanelFormat, systemFolder) < 0) {
      commandLine[0] = L'\0';  // too long: CreateProcessAsUserW fails and says so below
    }

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    wchar_t desktop[] = L"winsta0\\default";
    startup.lpDesktop = desktop;
    PROCESS_INFORMATION info = {};
    const BOOL created =
        CreateProcessAsUserW(nullptr, nullptr, commandLine, nullptr, nullptr, FALSE,
                             kControlPanelFlags, environment.get(), nullptr, &startup, &info);
    unique_handle process(created ? info.hProcess : nullptr);
    unique_handle thread(created ? info.hThread : nullptr);

    if (created && process) {
      // The control panel opens an Explorer window for the page; bring it to
      // the front when it is already there.
      HWND window = FindWindowW(L"CabinetWClass", nullptr);
      const int shown = ShowWindowAsync(window, SW_SHOWNORMAL) ? 1 : 0;
      const int foreground = SetForegroundWindow(window) ? 1 : 0;
      Log(kOrbLogInfo, u"[DoOpenPowerOptionPagel] swa: %d", shown);
      Log(kOrbLogInfo, u"[DoOpenPowerOptionPagel] sfw: %d", foreground);
      dump_output_time(&SLog, "[DoOpenPowerOptionPagel] swa: %d", shown);
      dump_output_time(&SLog, "[DoOpenPowerOptionPagel] sfw: %d", foreground);
      // The user closes the page when done; the request is answered then.
      WaitForSingleObject(process.get(), INFINITE);
      process.reset();
    } else {
      const int error = static_cast<int>(GetLastError());
      Log(kOrbLogError, u"[DoOpenPowerOptionPagel] Close Handle FAIL: %d", error);
      dump_output_time(&SLog, "[DoOpenPowerOptionPagel] Close Handle FAIL: %d", error);
    }
  }

  Log(kOrbLogTrace, u"[DoOpenPowerOptionPage] END");
  dump_output_time(&SLog, "[DoOpenPowerOptionPage] END");
  return 0;
}

HRESULT Pelorus::DoGetActivePowerPlan(IOrbLibrary*, QuonValueSet*, QuonValueSet* response) {
  GUID* active = nullptr;
  const DWORD status = PowerGetActiveScheme(nullptr, &active);
  std::string text;
  if (status == ERROR_SUCCESS && active != nullptr) {
    text = GuidPlainText(*active);
    Log(kOrbLogInfo, u"Current Power Plan GUID = %s", std::u16string(text.begin(), text.end()));
    dump_output_time(&SLog, "Current Power Plan GUID = %s", text.c_str());
  } else {
    // No active scheme to report: the answer is an empty text.
    Log(kOrbLogError, u"[DoGetActivePowerPlan] PowerGetActiveScheme FAIL: %d",
        static_cast<int>(status));
    dump_output_time(&SLog, "[DoGetActivePowerPlan] PowerGetActiveScheme FAIL: %d",
                     static_cast<int>(status));
  }
  if (active != nullptr) LocalFree(active);
  response->SetStringValue("active_plan", std::u16string(text.begin(), text.end()));
  return 0;
}

HRESULT Pelorus::DoSetPowerStatus(IOrbLibrary*, QuonValueSet* request, QuonValueSet*) {
  const std::u16string command = request->GetStringValue("command");
  for (const SchemeWord& word : kSchemeWords) {
    if (command == word.command) {
      PowerSetActiveScheme(nullptr, word.scheme);
      Log(kOrbLogInfo, word.hostLine);
      dump_output_time(&SLog, "%s", word.diagLine);
      break;
    }
  }
  return 0;
}
