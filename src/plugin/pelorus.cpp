// Pelorus: construction, interface lookup, lifecycle and notifications
// (Win32-only). The event interfaces live in event_handlers.cpp.
#include "plugin/pelorus.h"

#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <string>

#include "support/diag_log.h"
#include "support/platform_seams.h"

std::atomic<bool> m_bInitializedFlag{false};

Pelorus::Pelorus(uint32_t inUserSession)
    : BaseOrbPlugin(kName, CLSID_PelorusPlugin, GUID_OrbFramework, kName, kVersion, inUserSession),
      m_initialized(0),
      m_eventCallbacks{},
      m_notificationThread(nullptr),
      m_notificationRunning(0),
      m_appServiceThread(nullptr),
      m_appServiceRunning(0),
      m_dependencies{GUID_PelorusDependency} {
  // The command table. Each command's handler is registered here, in table
  // order, as its feature is built; a name without a handler is answered
  // "Unknown Command" by the dispatcher.
  RegisterCommand(u"StartNotification", &Pelorus::DoStartNotification);
  RegisterCommand(u"StopNotification", &Pelorus::DoStopNotification);
  RegisterCommand(u"SendTest", &Pelorus::DoSendTest);
  RegisterCommand(u"GetName", &Pelorus::DoGetName);
  RegisterCommand(u"QueryInformation", &Pelorus::DoQueryInformation);
  RegisterCommand(u"RequestAppService", &Pelorus::DoRequestAppService);
  RegisterCommand(u"Notify.LumenSyncChange", &Pelorus::DoLumenForward);
  RegisterCommand(u"TestSQDBServer", &Pelorus::DoTestSQDBServer);
  RegisterCommand(u"Notify.LumenMessage", &Pelorus::DoLumenForward);
  RegisterCommand(u"PrivacyPolicyStatus", &Pelorus::DoPrivacyPolicyStatus);
  RegisterCommand(u"GetUWPVersionByAppService", &Pelorus::DoGetUWPVersionByAppService);
  RegisterCommand(u"GetConfigUWPVersion", &Pelorus::DoGetConfigUWPVersion);
  RegisterCommand(u"GetOPLandingPageInfo", &Pelorus::DoGetOPLandingPageInfo);
  RegisterCommand(u"SetFanSpeed", &Pelorus::DoSetFanSpeed);
  RegisterCommand(u"DoAiControl", &Pelorus::DoAiControl);
  RegisterCommand(u"GetTesseraPluginInfo", &Pelorus::DoGetTesseraPluginInfo);
  RegisterCommand(u"GetTesseraPluginInfoForDashbaord",
                  &Pelorus::DoGetTesseraPluginInfoForDashbaord);
  RegisterCommand(u"DoTesseraReboot", &Pelorus::DoTesseraReboot);
  RegisterCommand(u"CheckCKServiceRestart", &Pelorus::DoCheckCKServiceRestart);
  RegisterCommand(u"CheckCorvaneSocketServer", &Pelorus::DoCheckCorvaneSocketServer);
  RegisterCommand(u"CheckFrameworkReady", &Pelorus::DoCheckFrameworkReady);
  RegisterCommand(u"CheckSystemResume", &Pelorus::DoCheckSystemResume);
  RegisterCommand(u"GetPowerSavingInfo", &Pelorus::DoGetPowerSavingInfo);
  RegisterCommand(u"GetPPTLimit", &Pelorus::DoGetPPTLimit);
  RegisterCommand(u"SetPPTLimit", &Pelorus::DoSetPPTLimit);
  RegisterCommand(u"SaveCpuPowerSavingSettings", &Pelorus::DoSaveCpuPowerSavingSettings);
  RegisterCommand(u"PowerSavingPPTCtrl", &Pelorus::DoPowerSavingPPTCtrl);
  RegisterCommand(u"GetBiosPPTFlag", &Pelorus::DoGetBiosPPTFlag);
  RegisterCommand(u"GetCpuFlag", &Pelorus::DoGetCpuFlag);
  RegisterCommand(u"GetCpuVendor", &Pelorus::DoGetCpuVendor);
  RegisterCommand(u"OpenPowerOptionPage", &Pelorus::DoOpenPowerOptionPage);
  RegisterCommand(u"GetActivePowerPlan", &Pelorus::DoGetActivePowerPlan);
  RegisterCommand(u"SetPowerStatus", &Pelorus::DoSetPowerStatus);
  RegisterCommand(u"GetFeatures", &Pelorus::DoGetFeatures);
  RegisterCommand(u"GetHTMLSupport", &Pelorus::DoGetHTMLSupport);
  RegisterCommand(u"CheckDebugMode", &Pelorus::DoCheckDebugMode);
  RegisterCommand(u"GetType40Info", &Pelorus::DoGetType40Info);
}

// The locks and the base are released; loop threads are neither stopped nor
// waited for here (Uninitialize does that).
Pelorus::~Pelorus() = default;

// --- IUnknown -----------------------------------------------------------------

HRESULT STDMETHODCALLTYPE Pelorus::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_INVALIDARG;
  void* found = nullptr;
  if (IsEqualGUID(riid, IID_IOrbEventHandler) || IsEqualGUID(riid, IID_IOrbEventHandlerEx1) ||
      IsEqualGUID(riid, IID_IOrbEventHandlerEx2)) {
    found = static_cast<IOrbEventHandlerEx2*>(this);
  } else if (IsEqualGUID(riid, IID_IOrbLumenEventHandler)) {
    found = static_cast<IOrbLumenEventHandler*>(this);
  } else if (IsEqualGUID(riid, IID_IOrbDependentAttribute)) {
    found = static_cast<IOrbDependentAttribute*>(this);
  } else if (IsEqualGUID(riid, IID_IOrbRLSEventHandler)) {
    found = static_cast<IOrbRLSEventHandler*>(this);
  } else if (IsEqualGUID(riid, IID_IOrbDiagnosticsHandler)) {
    found = static_cast<IOrbDiagnosticsHandler*>(this);
  } else if (IsEqualGUID(riid, IID_IOrbServiceMessageHandler)) {
    found = static_cast<IOrbServiceMessageHandler*>(this);
  }
  if (found != nullptr) {
    *ppv = found;
    AddRef();
    return S_OK;
  }
  return BaseOrbPlugin::QueryInterface(riid, ppv);
}

ULONG STDMETHODCALLTYPE Pelorus::AddRef() {
  return BaseOrbPlugin::AddRef();
}
ULONG STDMETHODCALLTYPE Pelorus::Release() {
  return BaseOrbPlugin::Release();
}

// --- Reserved operations --------------------------------------------------------

uint32_t STDMETHODCALLTYPE Pelorus::ReservedQuery1() {
  return 0;
}
uint32_t STDMETHODCALLTYPE Pelorus::ReservedQuery2() {
  return 0;
}
void STDMETHODCALLTYPE Pelorus::ReservedNotice() {}
uint32_t STDMETHODCALLTYPE Pelorus::ReservedQuery3() {
  return 1;
}
uint32_t STDMETHODCALLTYPE Pelorus::ReservedQuery4() {
  return 1;
}
uint32_t STDMETHODCALLTYPE Pelorus::ReservedQuery5() {
  return 255;
}
uint32_t STDMETHODCALLTYPE Pelorus::ReservedQuery6() {
  return 1;
}

// --- Lifecycle --------------------------------------------------------------------

HRESULT STDMETHODCALLTYPE Pelorus::Initialize() {
  try {
    Log(kOrbLogTrace, u"[PELORUS][Initialize] ===========  star ==================   ");
    dump_output_time(&SLog, "[PELORUS][Initialize] star initial");
    Log(kOrbLogInfo, u"[PELORUS][Initialize] m_inUserSession = %d", m_inUserSession);

    // Only the instance in the user's session installs the services.
    if (m_inUserSession == 1) CheckUserSession();

    // Once per Initialize/Uninitialize cycle; a refused system-information
    // library ends Initialize here, and the plug-in keeps serving.
    if (m_initialized == 0) {
      m_initialized = 1;
      m_bInitializedFlag = true;
      if (!RunFeatureStep()) return 1;
    }

    dump_output_time(&SLog, "[PELORUS][Initialize] END initial");
    Log(kOrbLogTrace, u"[PELORUS][Initialize] ===========  END initial ==================   ");
    return 0;
  } catch (const std::exception& e) {
    std::wstring what;
    for (const char* p = e.what(); *p != 0; ++p) what.push_back(static_cast<unsigned char>(*p));
    Log(kOrbLogException, u"[PELORUS][Initialize] error = %ls", AsU16Text(what.c_str()));
    return 1;
  }
}

void Pelorus::StopLoop(CriticalSection& lock, HANDLE& thread, volatile uint32_t& running) {
  std::lock_guard<CriticalSection> guard(lock);
  if (thread != nullptr) {
    running = 0;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    thread = nullptr;
  }
}

HRESULT STDMETHODCALLTYPE Pelorus::Uninitialize() {
  Log(kOrbLogTrace, u"[Uninitialize] star");
  if (m_initialized != 0) {
    StopLoop(m_notificationLock, m_notificationThread, m_notificationRunning);
    StopLoop(m_appServiceLock, m_appServiceThread, m_appServiceRunning);
    m_initialized = 0;
  }
  Log(kOrbLogTrace, u"[Uninitialize] END");
  return 0;
}

// --- Notifications ------------------------------------------------------------------

HRESULT Pelorus::OnNotify(uint8_t source, QuonValueSet* message) {
  std::u16string text = source == kOrbEndpointUserSession ? u"get notification from User Session"
                                                          : u"get notification from Service";
  text += u", msg:";
  if (message != nullptr) text += message->ToString(0);

  Seams().outputDebugString(AsWide(text));

  QuonValueSet notify;
  notify.SetStringValue("Notify", text);
  Broadcast(kOrbEndpointClients, &notify);

  Log(kOrbLogTrace, u"%s", text);
  return 0;
}

// --- Exports ----------------------------------------------------------------------

extern "C" IOrbPlugin* STDAPICALLTYPE QueryLibrary(uint32_t inUserSession) {
  // Zero-filled storage, so every member the constructor does not set (and
  // every callback) starts empty; the object's final `delete this` releases it
  // with the matching operator delete.
  void* storage = ::operator new(sizeof(Pelorus), std::nothrow);
  if (storage == nullptr) return nullptr;
  std::memset(storage, 0, sizeof(Pelorus));
  try {
    Pelorus* plugin = new (storage) Pelorus(inUserSession);
    return static_cast<IOrbPlugin*>(plugin);
  } catch (...) {
    ::operator delete(storage);
    return nullptr;
  }
}

extern "C" uint32_t STDAPICALLTYPE QueryInterfaceVersion() {
  return kOrbInterfaceVersion;
}
