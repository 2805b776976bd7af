// The plug-in object as a host sees it: creation, interface lookup with one
// shared reference count, lifecycle log lines, notifications and the event
// interfaces, all called through plain function-pointer tables. (Its
// identity and exports are read from the built DLL, dll_image_test.cpp.)
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "../common/orb_vtables.h"
#include "../common/recording_host.h"
#include "../common/windows_test_support.h"
#include "frame/pelorus.h"
#include "hwinfo_machine.h"
#include "support/diag_log.h"
#include "support/platform_seams.h"

namespace {

struct PluginDeleter {
  void operator()(IOrbPlugin* p) const {
    if (p != nullptr) p->Release();
  }
};
using PluginPtr = std::unique_ptr<IOrbPlugin, PluginDeleter>;

PluginPtr Create(uint32_t inUserSession = 0) {
  return PluginPtr(QueryLibrary(inUserSession));
}

Pelorus* Object(IOrbPlugin* p) {
  return static_cast<Pelorus*>(p);
}

void* Query(IOrbPlugin* p, const GUID& iid) {
  void* itf = reinterpret_cast<void*>(0xdeadbeef);
  HRESULT hr = p->QueryInterface(iid, &itf);
  return hr == S_OK ? itf : nullptr;
}

// Reads the "Event" text and destination of every broadcast.
std::vector<std::pair<int, std::u16string>> Events(const RecordingHost& host) {
  std::vector<std::pair<int, std::u16string>> out;
  for (const RecordedMessage& m : host.broadcasts()) {
    QuonValueSet body;
    m.Body(&body);
    out.emplace_back(m.header()[2], body.GetStringValue("Event"));
  }
  return out;
}

TEST(PelorusObject, ExportsCreateAFreshObject) {
  PluginPtr plugin = Create(1);
  ASSERT_NE(plugin, nullptr);
  EXPECT_EQ(Object(plugin.get())->RefCount(), 1u);
  EXPECT_EQ(Object(plugin.get())->InUserSession(), 1u);
  // Every callback starts empty.
  QuonValueSet q, r;
  EXPECT_EQ(Object(plugin.get())->SendRequest(GUID_OrbFramework, &q, &r), ORB_E_NOT_AVAILABLE);
  EXPECT_EQ(Object(plugin.get())->Broadcast(1, &q), ORB_E_NOT_AVAILABLE);
}

TEST(PelorusObject, EveryInterfaceSharesOneReferenceCount) {
  PluginPtr plugin = Create();
  Pelorus* object = Object(plugin.get());
  const GUID iids[] = {IID_IUnknown,
                       IID_IOrbLibrary,
                       IID_IOrbPlugin,
                       IID_IOrbEventHandler,
                       IID_IOrbEventHandlerEx1,
                       IID_IOrbEventHandlerEx2,
                       IID_IOrbLumenEventHandler,
                       IID_IOrbDependentAttribute,
                       IID_IOrbRLSEventHandler,
                       IID_IOrbDiagnosticsHandler,
                       IID_IOrbServiceMessageHandler};
  std::vector<void*> pointers;
  for (const GUID& iid : iids) {
    void* itf = Query(plugin.get(), iid);
    ASSERT_NE(itf, nullptr);
    pointers.push_back(itf);
  }
  EXPECT_EQ(object->RefCount(), 1u + std::size(iids));
  // The base interfaces are the primary pointer; the three event-handler
  // identifiers share one pointer; the others are distinct.
  EXPECT_EQ(pointers[0], plugin.get());
  EXPECT_EQ(pointers[1], plugin.get());
  EXPECT_EQ(pointers[2], plugin.get());
  EXPECT_EQ(pointers[3], pointers[4]);
  EXPECT_EQ(pointers[4], pointers[5]);
  for (size_t i = 5; i < pointers.size(); ++i) {
    for (size_t j = i + 1; j < pointers.size(); ++j) EXPECT_NE(pointers[i], pointers[j]);
    EXPECT_NE(pointers[i], static_cast<void*>(plugin.get()));
  }
  // QueryInterface from a secondary interface finds the primary one, and
  // AddRef/Release through any interface move the same count.
  void* lumen = pointers[6];
  const auto& unknown = VtblOf<OrbUnknownVtbl>(lumen);
  void* again = nullptr;
  ASSERT_EQ(unknown.QueryInterface(lumen, &IID_IOrbPlugin, &again), S_OK);
  EXPECT_EQ(again, plugin.get());
  EXPECT_EQ(unknown.AddRef(lumen), 3u + std::size(iids));
  for (void* p : pointers) VtblOf<OrbUnknownVtbl>(p).Release(p);
  EXPECT_EQ(unknown.Release(lumen), 2u);
  EXPECT_EQ(object->Release(), 1u);

  void* none = reinterpret_cast<void*>(0xdeadbeef);
  EXPECT_EQ(plugin->QueryInterface(PELORUS_FAMILY_GUID(0x29), &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
}

TEST(PelorusLifecycle, InitializeAndUninitializeLogTheirSteps) {
  // A plug-in folder whose system-information library asks for no watcher
  // thread and is not a mainboard's: Initialize installs nothing.
  HwMachine pluginFolder;
  pluginFolder.Place(L"SysInfoProbe.dll");
  pluginFolder.Profile("[SysInfoProbe]\nFeatures=0\nProductLine=Desktop\n");
  for (uint32_t session : {0u, 1u, 2u}) {
    PluginPtr plugin = Create(session);
    RecordingHost host;
    host.Attach(plugin.get());
    m_bInitializedFlag = false;
    const auto& v = VtblOf<OrbPluginVtbl>(plugin.get());

    EXPECT_EQ(v.Initialize(plugin.get()), 0);
    EXPECT_EQ(Object(plugin.get())->InitializedFlag(), 1u);
    EXPECT_TRUE(m_bInitializedFlag.load());
    auto logs = host.logs();
    ASSERT_GE(logs.size(), 3u);
    EXPECT_EQ(logs[0].level, 6u);
    EXPECT_EQ(logs[0].text, u"[PELORUS][Initialize] ===========  star ==================   ");
    EXPECT_EQ(logs[1].level, 4u);
    EXPECT_EQ(logs[1].text, u"[PELORUS][Initialize] m_inUserSession = " +
                                std::u16string(1, char16_t(u'0' + session)));
    EXPECT_EQ(logs.back().level, 6u);
    EXPECT_EQ(logs.back().text,
              u"[PELORUS][Initialize] ===========  END initial ==================   ");

    // A second Initialize keeps the flag; Uninitialize clears it.
    EXPECT_EQ(v.Initialize(plugin.get()), 0);
    EXPECT_EQ(Object(plugin.get())->InitializedFlag(), 1u);
    EXPECT_EQ(v.Uninitialize(plugin.get()), 0);
    EXPECT_EQ(Object(plugin.get())->InitializedFlag(), 0u);
    logs = host.logs();
    ASSERT_GE(logs.size(), 3u);
    EXPECT_EQ(logs[logs.size() - 3].text,
              u"[PELORUS][Initialize] ===========  END initial ==================   ");
    EXPECT_EQ(logs[logs.size() - 2].text, u"[Uninitialize] star");
    EXPECT_EQ(logs.back().text, u"[Uninitialize] END");
    EXPECT_EQ(logs.back().level, 6u);
  }
}

TEST(PelorusLifecycle, WorksWithoutAnyCallback) {
  HwMachine pluginFolder;
  pluginFolder.Place(L"SysInfoProbe.dll");
  pluginFolder.Profile("[SysInfoProbe]\nFeatures=0\nProductLine=Desktop\n");
  PluginPtr plugin = Create(1);
  EXPECT_EQ(plugin->Initialize(), 0);
  EXPECT_EQ(plugin->Uninitialize(), 0);
  EXPECT_EQ(plugin->Uninitialize(), 0);
}

// --- Notifications -------------------------------------------------------------------

std::vector<std::wstring>* g_debugOutput = nullptr;
void WINAPI CaptureDebugOutput(LPCWSTR text) {
  g_debugOutput->push_back(text);
}

TEST(PelorusNotify, NotificationsAreEchoedToClientsDebuggerAndLog) {
  std::vector<std::wstring> debug;
  g_debugOutput = &debug;
  ScopedSeam<decltype(PlatformSeams::outputDebugString)> seam(&PlatformSeams::outputDebugString,
                                                              &CaptureDebugOutput);
  PluginPtr plugin = Create();
  RecordingHost host;
  host.Attach(plugin.get());

  QuonValueSet body;
  body.SetUIntValue("a", 5);
  body.CreateChild("b")->SetStringValue("c", std::u16string(u"x"));
  const std::u16string dump = u"{\r\n  a:  5,\r\n  b:{\r\n    c:    x,\r\n  },\r\n}";

  struct Case {
    uint8_t source;
    std::u16string prefix;
  };
  const Case cases[] = {{4, u"get notification from User Session, msg:"},
                        {2, u"get notification from Service, msg:"},
                        {1, u"get notification from Service, msg:"}};
  for (const Case& c : cases) {
    std::vector<uint8_t> message = FrameMessage(kOrbMessageNotification, c.source, body);
    uint8_t* reply = nullptr;
    uint64_t length = 0;
    EXPECT_EQ(plugin->OnMessage(nullptr, message.data(), static_cast<uint32_t>(message.size()),
                                &reply, &length),
              S_OK);
    EXPECT_EQ(reply, nullptr);
    const std::u16string text = c.prefix + dump;

    ASSERT_FALSE(debug.empty());
    EXPECT_EQ(ToU16(debug.back()), text);
    auto broadcasts = host.broadcasts();
    ASSERT_FALSE(broadcasts.empty());
    EXPECT_EQ(broadcasts.back().header()[2], 1);
    QuonValueSet notify;
    ASSERT_TRUE(broadcasts.back().Body(&notify));
    EXPECT_EQ(notify.GetStringValue("Notify"), text);
    EXPECT_TRUE(host.HasLog(6, text));
  }
  EXPECT_EQ(debug.size(), 3u);
  g_debugOutput = nullptr;
}

// --- Event interfaces ----------------------------------------------------------------

TEST(PelorusEvents, DeviceAndPowerEventsBroadcastToTheirEndpoints) {
  PluginPtr plugin = Create();
  void* events = Query(plugin.get(), IID_IOrbEventHandlerEx2);
  ASSERT_NE(events, nullptr);
  const auto& v = VtblOf<OrbEventHandlerEx2Vtbl>(events);

  // Without a broadcast callback the events do nothing and fail nowhere.
  v.OnDeviceChange(events, 0x8000, nullptr);
  v.OnPowerSettingChange(events, nullptr, nullptr, 0);
  v.OnWindowsMessage(events, 0x219, 0, 0);

  RecordingHost host;
  host.Attach(plugin.get());
  v.OnDeviceChange(events, 0x8000, nullptr);
  v.OnPowerSettingChange(events, &GUID_OrbFramework, nullptr, 0);
  v.OnWindowsMessage(events, 0x219, 1, 2);
  v.ReservedEvent1(events);
  v.ReservedEvent2(events);
  for (auto& set : v.SetEventCallback) set(events, nullptr, nullptr);

  using Event = std::pair<int, std::u16string>;
  EXPECT_EQ(Events(host), (std::vector<Event>{{1, u"DeviceChange"},
                                              {1, u"PowerSetting Change"},
                                              {255, u"Receive Windows Message"}}));
  VtblOf<OrbUnknownVtbl>(events).Release(events);
}

TEST(PelorusEvents, LoggedEvents) {
  PluginPtr plugin = Create(1);
  RecordingHost host;
  host.Attach(plugin.get());

  void* events = Query(plugin.get(), IID_IOrbEventHandlerEx2);
  const auto& ev = VtblOf<OrbEventHandlerEx2Vtbl>(events);
  ev.OnSessionChange(events, 7);
  ev.OnUWPConnectionChange(events, TRUE);
  ev.OnUWPConnectionChange(events, FALSE);

  void* lumen = Query(plugin.get(), IID_IOrbLumenEventHandler);
  OrbLumenMessage withAttributes{L"Sync", {{"b", L"2"}, {"a", L"1"}}};
  OrbLumenMessage bare{L"Off", {}};
  VtblOf<OrbLumenEventHandlerVtbl>(lumen).OnLumenMessage(lumen, &withAttributes);
  VtblOf<OrbLumenEventHandlerVtbl>(lumen).OnLumenMessage(lumen, &bare);

  void* rls = Query(plugin.get(), IID_IOrbRLSEventHandler);
  OrbRLSMessage rlsMessage{-3, L"limit"};
  VtblOf<OrbRLSEventHandlerVtbl>(rls).OnRLSMessage(rls, &rlsMessage);

  EXPECT_TRUE(host.HasLog(2, u"UserSession:1, OnSessionChange: Event:7"));
  EXPECT_TRUE(host.HasLog(4, u"OnUWPConnectionChange : true."));
  EXPECT_TRUE(host.HasLog(4, u"OnUWPConnectionChange : false."));
  EXPECT_TRUE(host.HasLog(4, u"OnLumenMessage => Action:Sync, Attributes:(a:1),(b:2),"));
  EXPECT_TRUE(host.HasLog(4, u"OnLumenMessage => Action:Off, Attributes:"));
  EXPECT_TRUE(host.HasLog(4, u"OnRLSMessage => -3:limit"));
  for (void* p : {events, lumen, rls}) VtblOf<OrbUnknownVtbl>(p).Release(p);
}

// Uses the machine's log-switch key (RESOURCE_LOCK in CTest); restores it.
TEST(PelorusEvents, ConnectionChangeReReadsTheLogSwitch) {
  wintest::LogSwitchGuard guard;
  const int32_t savedMode = SLog.m_nMode.load();
  PluginPtr plugin = Create();
  void* events = Query(plugin.get(), IID_IOrbEventHandlerEx2);
  const auto& v = VtblOf<OrbEventHandlerEx2Vtbl>(events);
  const std::pair<DWORD, int32_t> cases[] = {{0, 0}, {1, 2}, {0, 0}, {5, 2}};
  for (const auto& [enableLog, mode] : cases) {
    wintest::LogSwitchGuard::Set(wintest::LogSwitchGuard::State::Value, enableLog);
    v.OnUWPConnectionChange(events, TRUE);
    EXPECT_EQ(SLog.m_nMode.load(), mode) << "EnableLog " << enableLog;
    EXPECT_EQ(SLog.m_EnableLog.load(), enableLog);
  }
  VtblOf<OrbUnknownVtbl>(events).Release(events);
  SLog.m_nMode = savedMode;
}

TEST(PelorusEvents, DependencyListNamesOneComponent) {
  PluginPtr plugin = Create();
  void* attr = Query(plugin.get(), IID_IOrbDependentAttribute);
  ASSERT_NE(attr, nullptr);
  const auto& v = VtblOf<OrbDependentAttributeVtbl>(attr);
  EXPECT_EQ(v.GetDependencyCount(attr), 1u);
  const GUID* ids = v.GetDependencyIds(attr);
  ASSERT_NE(ids, nullptr);
  EXPECT_TRUE(IsEqualGUID(ids[0], PELORUS_FAMILY_GUID(0x04)));
  VtblOf<OrbUnknownVtbl>(attr).Release(attr);
}

TEST(PelorusEvents, ServiceMessagesAboutTheClientApplication) {
  PluginPtr plugin = Create();
  RecordingHost host;
  host.Attach(plugin.get());
  void* handler = Query(plugin.get(), IID_IOrbServiceMessageHandler);
  const auto& v = VtblOf<OrbServiceMessageHandlerVtbl>(handler);

  // 4097: the framework is asked for "UWPInfo"; a failed query logs nothing.
  HRESULT queryStatus = static_cast<HRESULT>(0x80004005u);
  host.SetReplier([&](const RecordedMessage& m, QuonValueSet* reply) {
    QuonValueSet body;
    m.Body(&body);
    EXPECT_EQ(body.GetStringValue("Cmd"), u"Query.UWPInfo");
    reply->SetValue("IsInstalled", new QuonValueSet::OrbValue(true));
    reply->SetStringValue("Version", u"3.1.4");
    reply->SetValue("PPAgreed", new QuonValueSet::OrbValue(true));
    return queryStatus;
  });
  v.OnServiceMessage(handler, 4097, 0, nullptr);
  EXPECT_TRUE(host.logs().empty());
  queryStatus = S_OK;
  v.OnServiceMessage(handler, 4097, 0, nullptr);
  EXPECT_TRUE(
      host.HasLog(4, u"CK UWP Info: isInstalled:True, Version:3.1.4, PPRead:False, PPAgreed:True"));

  // 4098: one line per sub-code; PPRead/PPAgreed default to false.
  QuonValueSet data;
  data.SetStringValue("OldVersion", u"1.0");
  data.SetStringValue("NewVersion", std::u16string(u"2.0"));
  data.SetValue("PPAgreed", new QuonValueSet::OrbValue(true));
  const std::pair<uint32_t, std::u16string> cases[] = {
      {1, u"UWPInfoEvent::Uninstalled"},
      {2, u"UWPInfoEvent::Installed V2.0"},
      {3, u"UWPInfoEvent::Updated, V1.0 -> V2.0, PPRead:0, PPAgreed:1"},
      {4, u"UWPInfoEvent::PrivacyPolicyRead"},
      {5, u"UWPInfoEvent::PrivacyPolicyStatusChanged: isAgree:true"},
  };
  for (const auto& [subCode, line] : cases) {
    size_t before = host.logs().size();
    v.OnServiceMessage(handler, 4098, subCode, &data);
    auto logs = host.logs();
    ASSERT_EQ(logs.size(), before + 1) << "sub-code " << subCode;
    EXPECT_EQ(logs.back().level, 4u);
    EXPECT_EQ(logs.back().text, line);
  }
  size_t before = host.logs().size();
  v.OnServiceMessage(handler, 4098, 6, &data);
  v.OnServiceMessage(handler, 4098, 0, nullptr);
  v.OnServiceMessage(handler, 4099, 1, &data);
  EXPECT_EQ(host.logs().size(), before);
  VtblOf<OrbUnknownVtbl>(handler).Release(handler);
}

// Uses the product's fixed log folder under C:\ProgramData (RESOURCE_LOCK in CTest).
TEST(PelorusEvents, CollectDiagnosticsCopiesLogsWithoutOverwriting) {
  const std::wstring source = L"C:\\ProgramData\\QUON\\CORVANE KIOSK Service";
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring destination = std::wstring(temp) + L"pelorus-diag-test";
  const std::wstring sample = destination + L"\\Sample";
  CreateDirectoryW(L"C:\\ProgramData\\QUON", nullptr);
  CreateDirectoryW(source.c_str(), nullptr);
  CreateDirectoryW(destination.c_str(), nullptr);
  CreateDirectoryW(sample.c_str(), nullptr);

  auto write = [](const std::wstring& path, const char* text) {
    unique_hfile f(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(f);
    DWORD written = 0;
    WriteFile(f.get(), text, static_cast<DWORD>(strlen(text)), &written, nullptr);
  };
  auto read = [](const std::wstring& path) {
    unique_hfile f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               0, nullptr));
    if (!f) return std::string("<missing>");
    char buffer[64] = {};
    DWORD got = 0;
    ReadFile(f.get(), buffer, sizeof(buffer) - 1, &got, nullptr);
    return std::string(buffer, got);
  };
  const wchar_t* names[] = {L"CorvaneKiosk.pt1.log", L"CorvaneKiosk.pt2.log", L"Other.pt3.log"};
  for (const wchar_t* n : names) write(source + L"\\" + n, "fresh");
  write(sample + L"\\CorvaneKiosk.pt1.log", "kept");

  PluginPtr plugin = Create();
  void* handler = Query(plugin.get(), IID_IOrbDiagnosticsHandler);
  VtblOf<OrbDiagnosticsHandlerVtbl>(handler).CollectDiagnostics(handler, destination.c_str());
  VtblOf<OrbUnknownVtbl>(handler).Release(handler);

  EXPECT_EQ(read(sample + L"\\CorvaneKiosk.pt1.log"), "kept");
  EXPECT_EQ(read(sample + L"\\CorvaneKiosk.pt2.log"), "fresh");
  EXPECT_EQ(read(sample + L"\\Other.pt3.log"), "<missing>");

  for (const wchar_t* n : names) {
    DeleteFileW((source + L"\\" + n).c_str());
    DeleteFileW((sample + L"\\" + n).c_str());
  }
  RemoveDirectoryW(sample.c_str());
  RemoveDirectoryW(destination.c_str());
}

TEST(PelorusEvents, CollectDiagnosticsWithoutSampleFolderCopiesNothing) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring destination = std::wstring(temp) + L"pelorus-diag-missing";
  PluginPtr plugin = Create();
  void* handler = Query(plugin.get(), IID_IOrbDiagnosticsHandler);
  VtblOf<OrbDiagnosticsHandlerVtbl>(handler).CollectDiagnostics(handler, destination.c_str());
  VtblOf<OrbDiagnosticsHandlerVtbl>(handler).CollectDiagnostics(handler, nullptr);
  VtblOf<OrbUnknownVtbl>(handler).Release(handler);
  EXPECT_EQ(GetFileAttributesW((destination + L"\\Sample").c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
