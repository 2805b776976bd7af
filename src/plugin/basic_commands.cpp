// The plug-in's own small commands (Win32-only): the notification and
// app-service loops that exercise the host's message paths, the value-kind
// echo test, the user name, the system-identity query and the lighting
// forwards.
#include <atomic>
#include <mutex>
#include <string>

#include "plugin/pelorus.h"

namespace {

using OrbValue = QuonValueSet::OrbValue;

constexpr DWORD kNotificationPeriodMs = 3000;
constexpr DWORD kAppServiceStepMs = 4000;

// Counts "SendTest" requests while a log callback is set.
std::atomic<uint32_t> g_sendTestCounter{0};

bool ThreadStillRuns(HANDLE thread) {
  return thread != nullptr && WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
}

}  // namespace

void Pelorus::StartLoop(HANDLE& thread, volatile uint32_t& running, LPTHREAD_START_ROUTINE loop,
                        Pelorus* plugin) {
  if (ThreadStillRuns(thread)) return;         // at most one loop
  if (thread != nullptr) CloseHandle(thread);  // an ended loop that was never stopped
  running = 1;
  // A thread that cannot be started leaves a null handle; the next start tries again.
  thread = CreateThread(nullptr, 0, loop, plugin, 0, nullptr);
}

// --- Notification loop ------------------------------------------------------------

DWORD WINAPI Pelorus::NotificationLoop(LPVOID parameter) {
  auto* self = static_cast<Pelorus*>(parameter);
  QuonValueSet set;
  int32_t n = 0;
  for (;;) {
    Sleep(kNotificationPeriodMs);
    set.SetValue("NotificationCount", new OrbValue(n));
    ++n;
    if (self->m_notificationRunning == 0) return 0;
    self->Broadcast(kOrbEndpointAll, &set);
  }
}

HRESULT Pelorus::DoStartNotification(IOrbLibrary*, QuonValueSet*, QuonValueSet*) {
  std::lock_guard<CriticalSection> guard(m_notificationLock);
  StartLoop(m_notificationThread, m_notificationRunning, &Pelorus::NotificationLoop, this);
  return 0;
}

HRESULT Pelorus::DoStopNotification(IOrbLibrary*, QuonValueSet*, QuonValueSet*) {
  std::lock_guard<CriticalSection> guard(m_notificationLock);
  m_notificationRunning = 0;
  if (m_notificationThread != nullptr) {
    WaitForSingleObject(m_notificationThread, INFINITE);
    CloseHandle(m_notificationThread);
    m_notificationThread = nullptr;
  }
  return 0;
}

// --- App-service loop -------------------------------------------------------------

DWORD WINAPI Pelorus::AppServiceLoop(LPVOID parameter) {
  auto* self = static_cast<Pelorus*>(parameter);
  for (uint32_t cycle = 1; self->m_appServiceRunning != 0; ++cycle) {
    QuonValueSet request;
    QuonValueSet reply;
    request.SetStringValue("Target", u"ConsolePlugin");
    request.SetStringValue("HandlerId", u"Test.AppServiceEventHandler1");
    request.SetStringValue("Cmd", u"ShowMyToast");
    self->Query(u"AppService", &request, &reply);
    Sleep(kAppServiceStepMs);
    request.SetStringValue("HandlerId", u"Test.AppServiceEventHandler2");
    self->Query(u"AppService", &request, &reply);
    Sleep(kAppServiceStepMs);
    std::u16string content = u"Come from KC3.Service - ";
    for (char c : std::to_string(cycle)) content += static_cast<char16_t>(c);
    self->Toast(u"Test Toast", content.c_str());
    Sleep(kAppServiceStepMs);
  }
  return 0;
}

HRESULT Pelorus::DoRequestAppService(IOrbLibrary*, QuonValueSet* request, QuonValueSet*) {
  Log(kOrbLogTrace, u"[DoRequestToastAppService] star");
  {
    std::lock_guard<CriticalSection> guard(m_appServiceLock);
    if (request->GetBoolValue("State")) {
      StartLoop(m_appServiceThread, m_appServiceRunning, &Pelorus::AppServiceLoop, this);
    } else {
      m_appServiceRunning = 0;
      if (m_appServiceThread != nullptr) {
        WaitForSingleObject(m_appServiceThread, INFINITE);
        CloseHandle(m_appServiceThread);
        m_appServiceThread = nullptr;
      }
    }
  }
  Log(kOrbLogTrace, u"[DoRequestToastAppService] END");
  return 0;
}

// --- SendTest -----------------------------------------------------------------------

HRESULT Pelorus::DoSendTest(IOrbLibrary*, QuonValueSet* request, QuonValueSet* response) {
  uint32_t counter = g_sendTestCounter.load();
  if (m_logCallback != nullptr) {
    counter = g_sendTestCounter.fetch_add(1);
    Log(kOrbLogError, u"Receive OrbValueSet Command %d", counter);
  }

  uint32_t frequency = 23000;
  SetSharedData(u"CPU Frequency", 0, reinterpret_cast<const uint8_t*>(&frequency),
                sizeof(frequency));
  uint32_t tag = 0;
  uint32_t readBack = 0;
  uint64_t length = sizeof(readBack);
  GetSharedData(u"CPU Frequency", &tag, reinterpret_cast<uint8_t*>(&readBack), &length);

  const uint32_t uintValue = request->GetUIntValue("uint");
  const uint64_t uint64Value = request->GetUInt64Value("uint64");

  QuonValueSet empty;
  QuonValueSet scratch;
  SendRequest(GUID_OrbTestPeer, &empty, &scratch, OwnEndpoint());
  Sleep(1000);

  response->SetValue("Index", new OrbValue(static_cast<int32_t>(counter)));
  response->SetValue("bool", new OrbValue(true));
  response->SetValue("int", new OrbValue(int32_t{2357}));
  response->SetUIntValue("uint", uintValue);
  response->SetValue("int64", new OrbValue(int64_t{100}));
  response->SetValue("uint64", new OrbValue(uint64Value));
  response->SetDoubleValue("double", 10.10101010101);
  response->SetStringValue("String", std::u16string(u"Sample"));
  const uint8_t bytes[] = {1, 2, 3};
  response->SetBinary("Aaary", bytes, sizeof(bytes));
  response->CreateChild("Request")->CopyFrom(*request);
  return 0;
}

// --- GetName ----------------------------------------------------------------------

HRESULT Pelorus::DoGetName(IOrbLibrary*, QuonValueSet*, QuonValueSet* response) {
  Log(kOrbLogTrace, u"[DoGetName] star");
  wchar_t name[260] = {};
  DWORD size = 260;
  if (!GetUserNameW(name, &size)) name[0] = 0;
  response->SetStringValue("username", AsU16Text(name));
  Log(kOrbLogTrace, u"[DoGetName] END");
  return 0;
}

// --- QueryInformation -----------------------------------------------------------------

HRESULT Pelorus::DoQueryInformation(IOrbLibrary*, QuonValueSet*, QuonValueSet* response) {
  Log(kOrbLogTrace, u"[DoQueryInformation] star");
  // One reply set for every query: an empty reply leaves the previous content.
  QuonValueSet reply;
  auto asInt = [&reply](const char* key) { return new OrbValue(reply.GetIntValue(key)); };
  if (Query(u"ProductLine", &reply) >= 0) response->SetValue("ProductLine", asInt("ProductLine"));
  if (Query(u"ModelName", &reply) >= 0) {
    response->SetStringValue("ModelName", reply.GetStringValue("ModelName"));
    response->SetStringValue("MarketingName", reply.GetStringValue("MarketingName"));
  }
  if (Query(u"SubBrand", &reply) >= 0) response->SetValue("SubBrand", asInt("SubBrand"));
  if (Query(u"SerialNumber", &reply) >= 0) {
    response->SetStringValue("SerialNumber", reply.GetStringValue("SerialNumber"));
  }
  if (Query(u"Manufacturer", &reply) >= 0) {
    response->SetStringValue("Manufacturer", reply.GetStringValue("Manufacturer"));
  }
  if (Query(u"SystemDeviceUUID", &reply) >= 0) {
    response->SetStringValue("SystemDeviceUUID", reply.GetStringValue("SystemDeviceUUID"));
  }
  Log(kOrbLogTrace, u"[DoQueryInformation] END");
  return 0;
}

// --- Lighting forwards ------------------------------------------------------------------

HRESULT Pelorus::DoLumenForward(IOrbLibrary*, QuonValueSet* request, QuonValueSet* response) {
  return SendRequest(m_frameworkId, request, response, OwnEndpoint());
}
