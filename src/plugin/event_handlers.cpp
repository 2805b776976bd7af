// The six event interfaces of the plug-in object (Win32-only). The reactions
// are light: broadcasts to the clients, host log lines, the dependency list,
// and copying the product's log files for a diagnostics collection.
#include <pathcch.h>

#include <string>

#include "plugin/pelorus.h"
#include "support/diag_log.h"

namespace {

const char16_t* TrueFalse(bool v, bool capitalised) {
  if (capitalised) return v ? u"True" : u"False";
  return v ? u"true" : u"false";
}

constexpr wchar_t kDiagnosticsSource[] = L"C:\\ProgramData\\QUON\\CORVANE KIOSK Service";
constexpr wchar_t kDiagnosticsPattern[] = L"CorvaneKiosk.*.log";

// Joins two path pieces the way the shell does; empty on failure.
std::wstring JoinPath(const wchar_t* base, const wchar_t* more) {
  PWSTR joined = nullptr;
  if (FAILED(PathAllocCombine(base, more, PATHCCH_ALLOW_LONG_PATHS, &joined))) return {};
  std::wstring result(joined);
  LocalFree(joined);
  return result;
}

}  // namespace

void Pelorus::BroadcastEvent(uint8_t destination, const char16_t* event) {
  QuonValueSet set;
  set.SetStringValue("Event", std::u16string(event));
  Broadcast(destination, &set);
}

// --- IOrbEventHandlerEx2 ---------------------------------------------------------

void STDMETHODCALLTYPE Pelorus::OnSessionChange(uint32_t eventCode) {
  Log(kOrbLogError, u"UserSession:%d, OnSessionChange: Event:%d", m_inUserSession, eventCode);
}

void STDMETHODCALLTYPE Pelorus::OnDeviceChange(uint32_t, void*) {
  BroadcastEvent(kOrbEndpointClients, u"DeviceChange");
}

void STDMETHODCALLTYPE Pelorus::OnPowerSettingChange(const GUID*, const void*, uint32_t) {
  BroadcastEvent(kOrbEndpointClients, u"PowerSetting Change");
}

void STDMETHODCALLTYPE Pelorus::OnWindowsMessage(uint32_t, uintptr_t, intptr_t) {
  BroadcastEvent(kOrbEndpointAll, u"Receive Windows Message");
}

void STDMETHODCALLTYPE Pelorus::SetEventCallback1(OrbEventCallback fn, void* context) {
  m_eventCallbacks[0] = {fn, context};
}
void STDMETHODCALLTYPE Pelorus::SetEventCallback2(OrbEventCallback fn, void* context) {
  m_eventCallbacks[1] = {fn, context};
}
void STDMETHODCALLTYPE Pelorus::SetEventCallback3(OrbEventCallback fn, void* context) {
  m_eventCallbacks[2] = {fn, context};
}
void STDMETHODCALLTYPE Pelorus::SetEventCallback4(OrbEventCallback fn, void* context) {
  m_eventCallbacks[3] = {fn, context};
}
void STDMETHODCALLTYPE Pelorus::SetEventCallback5(OrbEventCallback fn, void* context) {
  m_eventCallbacks[4] = {fn, context};
}

void STDMETHODCALLTYPE Pelorus::ReservedEvent1() {}
void STDMETHODCALLTYPE Pelorus::ReservedEvent2() {}

void STDMETHODCALLTYPE Pelorus::OnUWPConnectionChange(BOOL connected) {
  Log(kOrbLogInfo, u"OnUWPConnectionChange : %s.", TrueFalse(connected != 0, false));
  // The client (re)connected: the log switch may have changed meanwhile.
  SetLogSwitch(readEnableLog());
}

// --- IOrbLumenEventHandler --------------------------------------------------------

void STDMETHODCALLTYPE Pelorus::OnLumenMessage(const OrbLumenMessage* message) {
  if (message == nullptr) return;
  std::u16string attributes;
  for (const auto& [name, value] : message->attributes) {
    attributes += u'(';
    for (unsigned char c : name) attributes += static_cast<char16_t>(c);
    attributes += u':';
    attributes += AsU16(value.c_str());
    attributes += u"),";
  }
  Log(kOrbLogInfo, u"OnLumenMessage => Action:%s, Attributes:%s", AsU16(message->action.c_str()),
      attributes);
}

// --- IOrbDependentAttribute ---------------------------------------------------------

uint32_t STDMETHODCALLTYPE Pelorus::GetDependencyCount() {
  return 1;
}
const GUID* STDMETHODCALLTYPE Pelorus::GetDependencyIds() {
  return m_dependencies;
}

// --- IOrbRLSEventHandler ------------------------------------------------------------

void STDMETHODCALLTYPE Pelorus::OnRLSMessage(const OrbRLSMessage* message) {
  if (message == nullptr) return;
  Log(kOrbLogInfo, u"OnRLSMessage => %d:%s", message->code, AsU16(message->text.c_str()));
}

// --- IOrbDiagnosticsHandler ---------------------------------------------------------

void STDMETHODCALLTYPE Pelorus::CollectDiagnostics(const OrbWChar* destinationFolder) {
  if (destinationFolder == nullptr) return;
  // The "Sample" folder is not created here: when it is missing, the copies fail quietly.
  std::wstring target = JoinPath(destinationFolder, L"Sample");
  std::wstring pattern = JoinPath(kDiagnosticsSource, kDiagnosticsPattern);
  if (target.empty() || pattern.empty()) return;

  WIN32_FIND_DATAW found;
  unique_hfind search(FindFirstFileW(pattern.c_str(), &found));
  if (!search) return;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    std::wstring source = JoinPath(kDiagnosticsSource, found.cFileName);
    std::wstring destination = JoinPath(target.c_str(), found.cFileName);
    if (!source.empty() && !destination.empty()) {
      CopyFileW(source.c_str(), destination.c_str(), TRUE);  // never overwrite
    }
  } while (FindNextFileW(search.get(), &found));
}

// --- IOrbServiceMessageHandler ------------------------------------------------------

void STDMETHODCALLTYPE Pelorus::OnServiceMessage(uint32_t messageId, uint32_t subCode,
                                                 const QuonValueSet* data) {
  constexpr uint32_t kUWPInfo = 0x1001;
  constexpr uint32_t kUWPInfoEvent = 0x1002;

  if (messageId == kUWPInfo) {
    QuonValueSet reply;
    HRESULT status = Query(u"UWPInfo", &reply);
    if (status < 0) return;
    Log(kOrbLogInfo, u"CK UWP Info: isInstalled:%s, Version:%s, PPRead:%s, PPAgreed:%s",
        TrueFalse(reply.GetBoolValue("IsInstalled"), true), reply.GetStringValue("Version"),
        TrueFalse(reply.GetBoolValue("PPRead"), true),
        TrueFalse(reply.GetBoolValue("PPAgreed"), true));
    return;
  }
  if (messageId != kUWPInfoEvent) return;

  QuonValueSet empty;
  const QuonValueSet& d = data != nullptr ? *data : empty;
  std::u16string oldVersion = d.GetStringValue("OldVersion");
  std::u16string newVersion = d.GetStringValue("NewVersion");
  bool ppRead = d.GetBoolValue("PPRead");
  bool ppAgreed = d.GetBoolValue("PPAgreed");
  switch (subCode) {
    case 1:
      Log(kOrbLogInfo, u"UWPInfoEvent::Uninstalled");
      break;
    case 2:
      Log(kOrbLogInfo, u"UWPInfoEvent::Installed V%s", newVersion);
      break;
    case 3:
      Log(kOrbLogInfo, u"UWPInfoEvent::Updated, V%s -> V%s, PPRead:%d, PPAgreed:%d", oldVersion,
          newVersion, static_cast<int>(ppRead), static_cast<int>(ppAgreed));
      break;
    case 4:
      Log(kOrbLogInfo, u"UWPInfoEvent::PrivacyPolicyRead");
      break;
    case 5:
      Log(kOrbLogInfo, u"UWPInfoEvent::PrivacyPolicyStatusChanged: isAgree:%s",
          TrueFalse(ppAgreed, false));
      break;
    default:
      break;
  }
}
