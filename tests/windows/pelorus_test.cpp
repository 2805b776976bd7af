// The plug-in object as a host sees it: creation, interface lookup with one
// shared reference count, lifecycle log lines, notifications and the event
// interfaces, all called through plain function-pointer tables. (Its
// identity and exports are read from the built DLL, dll_image_test.cpp.)
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "../common/orb_vtables.h"
#include "hwinfo_machine.h"

namespace {

using machine_test::AttachedPlugin;
using machine_test::PluginPtr;

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

// The host log, one "<level> <text>" per line.
std::vector<std::u16string> LogLines(const RecordingHost& host) {
  std::vector<std::u16string> lines;
  for (const RecordedLog& l : host.logs())
    lines.push_back(ToU16(std::to_wstring(l.level)) + u" " + l.text);
  return lines;
}

// (The base interfaces' lookup and counting, and the callbacks a new object
// starts without, are tested natively.)
TEST(PelorusObject, EveryInterfaceSharesOneReferenceCount) {
  PluginPtr plugin = Create();
  const GUID iids[] = {IID_IOrbEventHandler,       IID_IOrbEventHandlerEx1,
                       IID_IOrbEventHandlerEx2,    IID_IOrbLumenEventHandler,
                       IID_IOrbDependentAttribute, IID_IOrbRLSEventHandler,
                       IID_IOrbDiagnosticsHandler, IID_IOrbServiceMessageHandler};
  std::vector<void*> pointers;
  for (const GUID& iid : iids) {
    pointers.push_back(Query(plugin.get(), iid));
    ASSERT_NE(pointers.back(), nullptr);
  }
  EXPECT_EQ(Object(plugin.get())->RefCount(), 1u + std::size(iids));
  // The three event-handler identifiers share one pointer; the others are
  // distinct, and none is the primary one.
  EXPECT_EQ(pointers[0], pointers[1]);
  EXPECT_EQ(pointers[1], pointers[2]);
  for (size_t i = 3; i < pointers.size(); ++i) EXPECT_NE(pointers[i], pointers[i - 1]);
  // QueryInterface from a secondary interface finds the primary one, and
  // AddRef/Release through any interface move the same count.
  void* lumen = pointers[3];
  const auto& unknown = VtblOf<OrbUnknownVtbl>(lumen);
  void* again = nullptr;
  ASSERT_EQ(unknown.QueryInterface(lumen, &IID_IOrbPlugin, &again), S_OK);
  EXPECT_EQ(again, plugin.get());
  EXPECT_EQ(unknown.AddRef(lumen), 3u + std::size(iids));
  for (void* p : pointers) VtblOf<OrbUnknownVtbl>(p).Release(p);
  EXPECT_EQ(unknown.Release(lumen), 2u);
  EXPECT_EQ(plugin->Release(), 1u);
}

TEST(PelorusLifecycle, InitializeAndUninitializeLogTheirSteps) {
  // A plug-in folder whose system-information library asks for no watcher
  // thread and is not a mainboard's: Initialize installs nothing.
  HwMachine pluginFolder;
  pluginFolder.Place(L"SysInfoProbe.dll");
  pluginFolder.Profile("[SysInfoProbe]\nFeatures=0\nProductLine=Desktop\n");
  const std::u16string end =
      u"6 [PELORUS][Initialize] ===========  END initial ==================   ";
  PluginPtr plugin = Create(1);
  // Without any callback too.
  EXPECT_EQ(plugin->Initialize(), 0);
  EXPECT_EQ(plugin->Uninitialize(), 0);
  EXPECT_EQ(plugin->Uninitialize(), 0);

  RecordingHost host;
  host.Attach(plugin.get());
  m_bInitializedFlag = false;
  const auto& v = VtblOf<OrbPluginVtbl>(plugin.get());
  EXPECT_EQ(v.Initialize(plugin.get()), 0);
  EXPECT_TRUE(m_bInitializedFlag.load());
  std::vector<std::u16string> lines = LogLines(host);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], u"6 [PELORUS][Initialize] ===========  star ==================   ");
  EXPECT_EQ(lines[1], u"4 [PELORUS][Initialize] m_inUserSession = 1");
  EXPECT_EQ(lines.back(), end);

  // A second Initialize keeps the flag; Uninitialize clears it.
  EXPECT_EQ(v.Initialize(plugin.get()), 0);
  EXPECT_EQ(Object(plugin.get())->InitializedFlag(), 1u);
  EXPECT_EQ(v.Uninitialize(plugin.get()), 0);
  EXPECT_EQ(Object(plugin.get())->InitializedFlag(), 0u);
  lines = LogLines(host);
  EXPECT_EQ(std::vector(lines.end() - 3, lines.end()),
            (std::vector<std::u16string>{end, u"6 [Uninitialize] star", u"6 [Uninitialize] END"}));
}

// --- Notifications -------------------------------------------------------------------

std::vector<std::wstring> g_debugOutput;
void WINAPI CaptureDebugOutput(LPCWSTR text) {
  g_debugOutput.push_back(text);
}

TEST(PelorusNotify, NotificationsAreEchoedToClientsDebuggerAndLog) {
  g_debugOutput.clear();
  ScopedSeam<decltype(PlatformSeams::outputDebugString)> seam(&PlatformSeams::outputDebugString,
                                                              &CaptureDebugOutput);
  AttachedPlugin p;
  QuonValueSet body;
  body.SetUIntValue("a", 5);
  body.CreateChild("b")->SetStringValue("c", std::u16string(u"x"));
  const std::u16string dump = u"{\r\n  a:  5,\r\n  b:{\r\n    c:    x,\r\n  },\r\n}";

  for (uint8_t source : {4, 2, 1}) {
    std::vector<uint8_t> message = FrameMessage(kOrbMessageNotification, source, body);
    uint8_t* reply = nullptr;
    uint64_t length = 0;
    EXPECT_EQ(p.plugin->OnMessage(nullptr, message.data(), static_cast<uint32_t>(message.size()),
                                  &reply, &length),
              S_OK);
    EXPECT_EQ(reply, nullptr);
  }
  const std::u16string user = u"get notification from User Session, msg:" + dump;
  const std::u16string service = u"get notification from Service, msg:" + dump;
  const std::vector<std::u16string> texts = {user, service, service};
  std::vector<std::u16string> debugged, notified;
  for (const std::wstring& text : g_debugOutput) debugged.push_back(ToU16(text));
  for (const RecordedMessage& m : p.host.broadcasts()) {
    EXPECT_EQ(m.header()[2], 1);  // to the clients
    QuonValueSet notify;
    EXPECT_TRUE(m.Body(&notify));
    notified.push_back(notify.GetStringValue("Notify"));
  }
  EXPECT_EQ(debugged, texts);
  EXPECT_EQ(notified, texts);
  EXPECT_EQ(LogLines(p.host),
            (std::vector<std::u16string>{u"6 " + user, u"6 " + service, u"6 " + service}));
}

// --- Event interfaces ----------------------------------------------------------------

// Without a host's callbacks the events do nothing and fail nowhere; the
// reserved slots and the callback setters send nothing. (What each event
// makes, delivered by orbhost: pelorus_e2e_test.cpp.)
TEST(PelorusEvents, WithoutCallbacksOrThroughReservedSlotsNothingIsSent) {
  PluginPtr plugin = Create();
  void* events = Query(plugin.get(), IID_IOrbEventHandlerEx2);
  ASSERT_NE(events, nullptr);
  const auto& v = VtblOf<OrbEventHandlerEx2Vtbl>(events);
  v.OnDeviceChange(events, 0x8000, nullptr);
  v.OnPowerSettingChange(events, nullptr, nullptr, 0);
  v.OnWindowsMessage(events, 0x219, 0, 0);
  v.OnSessionChange(events, 7);

  RecordingHost host;
  host.Attach(plugin.get());
  v.ReservedEvent1(events);
  v.ReservedEvent2(events);
  for (auto& set : v.SetEventCallback) set(events, nullptr, nullptr);
  EXPECT_TRUE(host.broadcasts().empty());
  EXPECT_TRUE(host.logs().empty());
  VtblOf<OrbUnknownVtbl>(events).Release(events);
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
  ASSERT_EQ(v.GetDependencyCount(attr), 1u);
  EXPECT_TRUE(IsEqualGUID(v.GetDependencyIds(attr)[0], PELORUS_FAMILY_GUID(0x04)));
  VtblOf<OrbUnknownVtbl>(attr).Release(attr);
}

TEST(PelorusEvents, ServiceMessagesAboutTheClientApplication) {
  AttachedPlugin p;
  void* handler = Query(p.plugin.get(), IID_IOrbServiceMessageHandler);
  const auto& v = VtblOf<OrbServiceMessageHandlerVtbl>(handler);

  // 4097: the framework is asked for "UWPInfo"; a failed query logs nothing.
  HRESULT queryStatus = static_cast<HRESULT>(0x80004005u);
  p.host.SetReplier([&](const RecordedMessage& m, QuonValueSet* reply) {
    QuonValueSet body;
    m.Body(&body);
    EXPECT_EQ(body.GetStringValue("Cmd"), u"Query.UWPInfo");
    reply->SetValue("IsInstalled", new QuonValueSet::OrbValue(true));
    reply->SetStringValue("Version", u"3.1.4");
    reply->SetValue("PPAgreed", new QuonValueSet::OrbValue(true));
    return queryStatus;
  });
  v.OnServiceMessage(handler, 4097, 0, nullptr);
  queryStatus = S_OK;
  v.OnServiceMessage(handler, 4097, 0, nullptr);

  // 4098: one line per known sub-code; PPRead/PPAgreed default to false.
  // Other sub-codes and messages log nothing.
  QuonValueSet data;
  data.SetStringValue("OldVersion", u"1.0");
  data.SetStringValue("NewVersion", std::u16string(u"2.0"));
  data.SetValue("PPAgreed", new QuonValueSet::OrbValue(true));
  for (uint32_t subCode : {1u, 2u, 3u, 4u, 5u, 6u})
    v.OnServiceMessage(handler, 4098, subCode, &data);
  v.OnServiceMessage(handler, 4098, 0, nullptr);
  v.OnServiceMessage(handler, 4099, 1, &data);
  EXPECT_EQ(LogLines(p.host),
            (std::vector<std::u16string>{
                u"4 CK UWP Info: isInstalled:True, Version:3.1.4, PPRead:False, PPAgreed:True",
                u"4 UWPInfoEvent::Uninstalled", u"4 UWPInfoEvent::Installed V2.0",
                u"4 UWPInfoEvent::Updated, V1.0 -> V2.0, PPRead:0, PPAgreed:1",
                u"4 UWPInfoEvent::PrivacyPolicyRead",
                u"4 UWPInfoEvent::PrivacyPolicyStatusChanged: isAgree:true"}));
  VtblOf<OrbUnknownVtbl>(handler).Release(handler);
}

// Uses the product's fixed log folder under C:\ProgramData (RESOURCE_LOCK in CTest).
TEST(PelorusEvents, CollectDiagnosticsCopiesLogsWithoutOverwriting) {
  const std::filesystem::path source = L"C:\\ProgramData\\QUON\\CORVANE KIOSK Service";
  std::filesystem::create_directories(source);
  wintest::ScratchFolder destination;
  const std::filesystem::path sample = destination.path() / L"Sample";
  std::filesystem::create_directories(sample);
  const wchar_t* names[] = {L"CorvaneKiosk.pt1.log", L"CorvaneKiosk.pt2.log", L"Other.pt3.log"};
  for (const wchar_t* n : names) wintest::WriteAll(source / n, "fresh");
  wintest::WriteAll(sample / names[0], "kept");

  PluginPtr plugin = Create();
  void* handler = Query(plugin.get(), IID_IOrbDiagnosticsHandler);
  const auto& v = VtblOf<OrbDiagnosticsHandlerVtbl>(handler);
  v.CollectDiagnostics(handler, destination.path().c_str());
  // Without a "Sample" folder, or a destination, nothing is copied.
  const std::filesystem::path bare = destination.path() / L"bare";
  v.CollectDiagnostics(handler, bare.c_str());
  v.CollectDiagnostics(handler, nullptr);
  VtblOf<OrbUnknownVtbl>(handler).Release(handler);

  EXPECT_EQ(wintest::ReadAll(sample / names[0]), "kept");
  EXPECT_EQ(wintest::ReadAll(sample / names[1]), "fresh");
  EXPECT_FALSE(std::filesystem::exists(sample / names[2]));
  EXPECT_FALSE(std::filesystem::exists(bare));
  for (const wchar_t* n : names) std::filesystem::remove(source / n);
}

}  // namespace
