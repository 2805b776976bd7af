// Pelorus: the one concrete plug-in of the library (Win32-only).
//
// One object implements the plug-in interface (through BaseOrbPlugin) and the
// six event interfaces; every interface shares the object's one reference
// count. The host creates it with QueryLibrary and destroys it with its last
// Release.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <string>

#include "frame/base_orb_plugin.h"
#include "support/win32.h"
#include "support/win32_handles.h"

// Set when Initialize starts its feature step; reported and cleared by the
// restart-check command.
extern std::atomic<bool> m_bInitializedFlag;

class Pelorus final : public BaseOrbPlugin,
                      public IOrbEventHandlerEx2,
                      public IOrbLumenEventHandler,
                      private IOrbDependentAttribute,
                      private IOrbRLSEventHandler,
                      private IOrbDiagnosticsHandler,
                      private IOrbServiceMessageHandler {
 public:
  static constexpr const char16_t* kName = u"Pelorus";
  static constexpr OrbVersion kVersion = {5, 9, 9, 0};

  explicit Pelorus(uint32_t inUserSession);
  ~Pelorus() override;

  // --- IUnknown, shared by every interface of the object ---
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // --- IOrbLibrary / IOrbPlugin operations the base leaves open ---
  HRESULT STDMETHODCALLTYPE Initialize() override;
  HRESULT STDMETHODCALLTYPE Uninitialize() override;
  uint32_t STDMETHODCALLTYPE ReservedQuery1() override;
  uint32_t STDMETHODCALLTYPE ReservedQuery2() override;
  void STDMETHODCALLTYPE ReservedNotice() override;
  uint32_t STDMETHODCALLTYPE ReservedQuery3() override;
  uint32_t STDMETHODCALLTYPE ReservedQuery4() override;
  uint32_t STDMETHODCALLTYPE ReservedQuery5() override;
  uint32_t STDMETHODCALLTYPE ReservedQuery6() override;

  HRESULT OnNotify(uint8_t source, QuonValueSet* message) override;

  // --- IOrbEventHandlerEx2 ---
  void STDMETHODCALLTYPE OnSessionChange(uint32_t eventCode) override;
  void STDMETHODCALLTYPE OnDeviceChange(uint32_t eventType, void* data) override;
  void STDMETHODCALLTYPE OnPowerSettingChange(const GUID* setting, const void* data,
                                              uint32_t length) override;
  void STDMETHODCALLTYPE OnWindowsMessage(uint32_t message, uintptr_t wParam,
                                          intptr_t lParam) override;
  void STDMETHODCALLTYPE SetEventCallback1(OrbEventCallback fn, void* context) override;
  void STDMETHODCALLTYPE SetEventCallback2(OrbEventCallback fn, void* context) override;
  void STDMETHODCALLTYPE SetEventCallback3(OrbEventCallback fn, void* context) override;
  void STDMETHODCALLTYPE SetEventCallback4(OrbEventCallback fn, void* context) override;
  void STDMETHODCALLTYPE SetEventCallback5(OrbEventCallback fn, void* context) override;
  void STDMETHODCALLTYPE ReservedEvent1() override;
  void STDMETHODCALLTYPE OnUWPConnectionChange(BOOL connected) override;
  void STDMETHODCALLTYPE ReservedEvent2() override;

  // --- IOrbLumenEventHandler ---
  void STDMETHODCALLTYPE OnLumenMessage(const OrbLumenMessage* message) override;

  // State visible to tests of the lifecycle.
  uint32_t InitializedFlag() const { return m_initialized; }

 private:
  // --- IOrbDependentAttribute ---
  uint32_t STDMETHODCALLTYPE GetDependencyCount() override;
  const GUID* STDMETHODCALLTYPE GetDependencyIds() override;
  // --- IOrbRLSEventHandler ---
  void STDMETHODCALLTYPE OnRLSMessage(const OrbRLSMessage* message) override;
  // --- IOrbDiagnosticsHandler ---
  void STDMETHODCALLTYPE CollectDiagnostics(const OrbWChar* destinationFolder) override;
  // --- IOrbServiceMessageHandler ---
  void STDMETHODCALLTYPE OnServiceMessage(uint32_t messageId, uint32_t subCode,
                                          const QuonValueSet* data) override;

  // --- Commands: notification and basic commands ---
  HRESULT DoStartNotification(IOrbLibrary* caller, QuonValueSet* request, QuonValueSet* response);
  HRESULT DoStopNotification(IOrbLibrary* caller, QuonValueSet* request, QuonValueSet* response);
  HRESULT DoSendTest(IOrbLibrary* caller, QuonValueSet* request, QuonValueSet* response);
  HRESULT DoGetName(IOrbLibrary* caller, QuonValueSet* request, QuonValueSet* response);
  HRESULT DoQueryInformation(IOrbLibrary* caller, QuonValueSet* request, QuonValueSet* response);
  HRESULT DoRequestAppService(IOrbLibrary* caller, QuonValueSet* request, QuonValueSet* response);
  HRESULT DoLumenForward(IOrbLibrary* caller, QuonValueSet* request, QuonValueSet* response);
  // --- Commands: hardware information ---
  HRESULT DoGetOPLandingPageInfo(IOrbLibrary* caller, QuonValueSet* request,
                                 QuonValueSet* response);

  // --- Commands: status checks ---
  HRESULT DoCheckCKServiceRestart(IOrbLibrary* caller, QuonValueSet* request,
                                  QuonValueSet* response);
  HRESULT DoCheckCorvaneSocketServer(IOrbLibrary* caller, QuonValueSet* request,
                                     QuonValueSet* response);
  HRESULT DoCheckFrameworkReady(IOrbLibrary* caller, QuonValueSet* request, QuonValueSet* response);
  HRESULT DoCheckSystemResume(IOrbLibrary* caller, QuonValueSet* request, QuonValueSet* response);
  HRESULT DoGetFeatures(IOrbLibrary* caller, QuonValueSet* request, QuonValueSet* response);
  HRESULT DoGetHTMLSupport(IOrbLibrary* caller, QuonValueSet* request, QuonValueSet* response);
  HRESULT DoCheckDebugMode(IOrbLibrary* caller, QuonValueSet* request, QuonValueSet* response);
  HRESULT DoGetType40Info(IOrbLibrary* caller, QuonValueSet* request, QuonValueSet* response);

  // --- Start-up checks of Initialize (startup_checks.cpp) ---
  // True when the system-information library's product line is "Motherboard".
  bool isSupportMotherboard();
  // On a mainboard machine: verifies and runs the service setup program.
  void CheckUserSession();
  // Reads the feature word and starts the resume watcher when bit 0 is set;
  // false when the system-information library is missing or not the maker's.
  bool RunFeatureStep();

  // A fixed ASCII line to the host log (at `level`) and to the diagnostic log.
  void LogBoth(uint32_t level, const char16_t* text) const;

  // --- Commands: client information (plugin/client_info_commands.cpp) ---
  HRESULT DoTestSQDBServer(IOrbLibrary* caller, QuonValueSet* request, QuonValueSet* response);
  HRESULT DoPrivacyPolicyStatus(IOrbLibrary* caller, QuonValueSet* request, QuonValueSet* response);
  HRESULT DoGetUWPVersionByAppService(IOrbLibrary* caller, QuonValueSet* request,
                                      QuonValueSet* response);
  HRESULT DoGetConfigUWPVersion(IOrbLibrary* caller, QuonValueSet* request, QuonValueSet* response);

  // --- Commands: power plans (plugin/power_plan_commands.cpp) ---
  HRESULT DoOpenPowerOptionPage(IOrbLibrary* caller, QuonValueSet* request, QuonValueSet* response);
  HRESULT DoGetActivePowerPlan(IOrbLibrary* caller, QuonValueSet* request, QuonValueSet* response);
  HRESULT DoSetPowerStatus(IOrbLibrary* caller, QuonValueSet* request, QuonValueSet* response);

  // --- Commands: CPU power saving (plugin/cpu_power_commands.cpp) ---
  HRESULT DoGetPowerSavingInfo(IOrbLibrary* caller, QuonValueSet* request, QuonValueSet* response);
  HRESULT DoGetPPTLimit(IOrbLibrary* caller, QuonValueSet* request, QuonValueSet* response);
  HRESULT DoSetPPTLimit(IOrbLibrary* caller, QuonValueSet* request, QuonValueSet* response);
  HRESULT DoSaveCpuPowerSavingSettings(IOrbLibrary* caller, QuonValueSet* request,
                                       QuonValueSet* response);
  HRESULT DoPowerSavingPPTCtrl(IOrbLibrary* caller, QuonValueSet* request, QuonValueSet* response);
  HRESULT DoGetBiosPPTFlag(IOrbLibrary* caller, QuonValueSet* request, QuonValueSet* response);
  HRESULT DoGetCpuFlag(IOrbLibrary* caller, QuonValueSet* request, QuonValueSet* response);
  HRESULT DoGetCpuVendor(IOrbLibrary* caller, QuonValueSet* request, QuonValueSet* response);
  void PowerLog(const char16_t* line);
  void PowerLogCommand(const char16_t* tag, const std::u16string& command);
  void PowerLogError(const char16_t* tag, const std::exception& e);

  // --- Commands: fan commands ---
  HRESULT DoSetFanSpeed(IOrbLibrary* caller, QuonValueSet* request, QuonValueSet* response);
  HRESULT DoAiControl(IOrbLibrary* caller, QuonValueSet* request, QuonValueSet* response);
  HRESULT DoGetTesseraPluginInfo(IOrbLibrary* caller, QuonValueSet* request,
                                 QuonValueSet* response);
  HRESULT DoGetTesseraPluginInfoForDashbaord(IOrbLibrary* caller, QuonValueSet* request,
                                             QuonValueSet* response);
  HRESULT DoTesseraReboot(IOrbLibrary* caller, QuonValueSet* request, QuonValueSet* response);
  // The two fan-tool support queries; `dashboard` picks the dashboard's labels.
  HRESULT AnswerFanPilotSupport(QuonValueSet* request, QuonValueSet* response, bool dashboard);

  static DWORD WINAPI NotificationLoop(LPVOID plugin);
  static DWORD WINAPI AppServiceLoop(LPVOID plugin);
  // Starts a loop thread unless one still runs; called under the loop's lock.
  static void StartLoop(HANDLE& thread, volatile uint32_t& running, LPTHREAD_START_ROUTINE loop,
                        Pelorus* plugin);

  struct EventCallback {
    OrbEventCallback fn;
    void* context;
  };

  void BroadcastEvent(uint8_t destination, const char16_t* event);
  // Ends one of the two loops the way its stop command does: clear its flag,
  // wait for its thread, close and forget the handle.
  static void StopLoop(CriticalSection& lock, HANDLE& thread, volatile uint32_t& running);

  uint32_t m_initialized;
  EventCallback m_eventCallbacks[5];
  HANDLE m_notificationThread;
  volatile uint32_t m_notificationRunning;
  CriticalSection m_notificationLock;
  HANDLE m_appServiceThread;
  volatile uint32_t m_appServiceRunning;
  CriticalSection m_appServiceLock;
  GUID m_dependencies[1];
};

// Exports.
extern "C" IOrbPlugin* STDAPICALLTYPE QueryLibrary(uint32_t inUserSession);
extern "C" uint32_t STDAPICALLTYPE QueryInterfaceVersion();
