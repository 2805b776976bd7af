// The plug-in's own commands through OnMessage: the two loops observed
// through the host's callbacks (with tolerant timing), the value-kind echo,
// the user name, the identity query and the lighting forwards.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plugin/pelorus.h"
#include "hwinfo_machine.h"
#include "machine_test_support.h"

namespace {

using machine_test::AttachedPlugin;
using machine_test::CallPlugin;
using machine_test::PluginPtr;
using machine_test::Typed;
using machine_test::WaitFor;
using OrbValue = QuonValueSet::OrbValue;

std::vector<int32_t> NotificationCounts(const RecordingHost& host) {
  std::vector<int32_t> counts;
  for (const RecordedMessage& m : host.broadcasts()) {
    QuonValueSet body;
    m.Body(&body);
    const OrbValue* v = body.GetValue("NotificationCount");
    if (v != nullptr && v->kind == OrbValueKindInt) {
      EXPECT_EQ(m.header()[2], 255);
      counts.push_back(body.GetIntValue("NotificationCount"));
    }
  }
  return counts;
}

TEST(NotificationLoop, OneLoopAtMostAndStopWaitsForIt) {
  AttachedPlugin p;
  QuonValueSet response;

  // A stop without a loop returns at once.
  EXPECT_EQ(p.Call(u"StopNotification", &response), S_OK);

  EXPECT_EQ(p.Call(u"StartNotification", &response), S_OK);
  EXPECT_EQ(p.Call(u"StartNotification", &response), S_OK);
  EXPECT_TRUE(response.Empty());
  ASSERT_TRUE(WaitFor([&] { return NotificationCounts(p.host).size() >= 2; }));
  EXPECT_EQ(p.Call(u"StopNotification", &response), S_OK);

  // One loop: the counts run 0, 1, ... without repeats, and nothing follows the stop.
  std::vector<int32_t> counts = NotificationCounts(p.host);
  for (size_t i = 0; i < counts.size(); ++i) EXPECT_EQ(counts[i], static_cast<int32_t>(i));
  EXPECT_EQ(p.Call(u"StopNotification", &response), S_OK);
  EXPECT_EQ(NotificationCounts(p.host).size(), counts.size());
}

TEST(NotificationLoop, UninitializeEndsTheLoopAndInitializeRunsAgain) {
  HwMachine pluginFolder(L"SysInfoProbe.dll", "[SysInfoProbe]\nFeatures=0\nProductLine=Desktop\n");
  AttachedPlugin p;
  QuonValueSet response;
  ASSERT_EQ(p.plugin->Initialize(), 0);
  ASSERT_EQ(p.Call(u"StartNotification", &response), S_OK);
  ASSERT_EQ(p.plugin->Uninitialize(), 0);
  size_t after = NotificationCounts(p.host).size();
  // The loop thread has ended: a new start begins counting from 0 again.
  ASSERT_EQ(p.plugin->Initialize(), 0);
  ASSERT_EQ(p.Call(u"StartNotification", &response), S_OK);
  ASSERT_TRUE(WaitFor([&] { return NotificationCounts(p.host).size() > after; }));
  EXPECT_EQ(NotificationCounts(p.host).back(), 0);
  EXPECT_EQ(p.plugin->Uninitialize(), 0);
}

TEST(AppServiceLoop, OneCycleQueriesTwiceThenToasts) {
  AttachedPlugin p(1);
  auto start = [](QuonValueSet& request) { request.SetValue("State", new OrbValue(true)); };
  QuonValueSet response;
  EXPECT_EQ(p.Call(u"RequestAppService", &response, start), S_OK);
  // Ignored: the loop runs.
  EXPECT_EQ(p.Call(u"RequestAppService", &response, start), S_OK);
  ASSERT_TRUE(WaitFor([&] { return !p.host.sends().empty(); }));

  // No "State": stop, which waits for the cycle in progress to finish.
  EXPECT_EQ(p.Call(u"RequestAppService", &response), S_OK);
  const std::string query =
      "{Cmd:String=Query.AppService, Request:Child={Cmd:String=ShowMyToast\\0, "
      "HandlerId:String=Test.AppServiceEventHandler";
  const std::string target = "\\0, Target:String=ConsolePlugin\\0}}";
  const std::u16string logo = BaseOrbPlugin::kDefaultToastLogo;  // checked natively
  EXPECT_EQ(machine_test::SentBodies(p.host),
            (std::vector<std::string>{
                query + "1" + target, query + "2" + target,
                "{Cmd:String=Toast, Request:Child={ToastContent:String=Come from KC3.Service "
                "- 1, ToastLogo:String=" +
                    std::string(logo.begin(), logo.end()) + ", ToastTitle:String=Test Toast}}"}));
  EXPECT_TRUE(p.host.HasLog(6, u"[DoRequestToastAppService] star"));
  EXPECT_TRUE(p.host.HasLog(6, u"[DoRequestToastAppService] END"));
}

// (The echoed request and every kind of the answer, through orbhost:
// pelorus_e2e_test.cpp.)
TEST(SendTest, CountsWhileLoggedAndSharesDataWithThePeer) {
  PluginPtr plugin(QueryLibrary(0));
  QuonValueSet response;

  // Without a log callback the counter does not move.
  ASSERT_EQ(CallPlugin(plugin.get(), u"SendTest", &response), S_OK);
  const int32_t unlogged = response.GetIntValue("Index");
  RecordingHost host;
  host.Attach(plugin.get());
  ASSERT_EQ(CallPlugin(plugin.get(), u"SendTest", &response), S_OK);
  EXPECT_EQ(response.GetIntValue("Index"), unlogged);
  EXPECT_TRUE(host.HasLog(
      2, u"Receive OrbValueSet Command " + std::u16string(1, char16_t(u'0' + unlogged))));

  // Shared data went through the host, and the peer got an empty request.
  ASSERT_EQ(host.data.count(u"CPU Frequency"), 1u);
  EXPECT_EQ(host.data[u"CPU Frequency"].tag, 0u);
  EXPECT_EQ(host.data[u"CPU Frequency"].bytes, (std::vector<uint8_t>{0xd8, 0x59, 0, 0}));
  auto sends = host.sends();
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_TRUE(IsEqualGUID(sends[0].target, GUID_OrbTestPeer));
  EXPECT_EQ(sends[0].header()[2], 2);
  EXPECT_EQ(sends[0].bytes.size(), kOrbHeaderSize);

  // The next logged call counts on.
  ASSERT_EQ(CallPlugin(plugin.get(), u"SendTest", &response), S_OK);
  EXPECT_EQ(response.GetIntValue("Index"), unlogged + 1);
}

TEST(GetName, AnswersTheThreadsUserName) {
  AttachedPlugin p;
  wchar_t expected[260];
  DWORD size = 260;
  ASSERT_TRUE(GetUserNameW(expected, &size));
  QuonValueSet response;
  ASSERT_EQ(p.Call(u"GetName", &response), S_OK);
  EXPECT_EQ(response.GetStringValue("username"), AsU16Text(expected));
  EXPECT_TRUE(p.host.HasLog(6, u"[DoGetName] star"));
  EXPECT_TRUE(p.host.HasLog(6, u"[DoGetName] END"));
}

TEST(QueryInformation, CopiesWhatEachQueryAnswers) {
  AttachedPlugin p;
  QuonValueSet response;
  // Each query answers its own keys, except "SerialNumber", answered with an
  // empty reply (so the previous reply is read again) and "SubBrand" (refused).
  p.host.SetReplier([](const RecordedMessage& m, QuonValueSet* reply) -> HRESULT {
    QuonValueSet body;
    m.Body(&body);
    std::u16string cmd = body.GetStringValue("Cmd");
    if (cmd == u"Query.ProductLine") reply->SetValue("ProductLine", new OrbValue(int32_t{3}));
    if (cmd == u"Query.ModelName") {
      reply->SetStringValue("ModelName", u"Board X");
      reply->SetStringValue("MarketingName", u"Board X Pro");
      reply->SetStringValue("SerialNumber", u"SN-1");
    }
    if (cmd == u"Query.SubBrand") return static_cast<HRESULT>(0x80004005u);
    if (cmd == u"Query.Manufacturer") reply->SetStringValue("Manufacturer", u"Maker");
    if (cmd == u"Query.SystemDeviceUUID") reply->SetStringValue("SystemDeviceUUID", u"1-2-3");
    return S_OK;
  });
  ASSERT_EQ(p.Call(u"QueryInformation", &response), S_OK);
  EXPECT_EQ(Typed(response),
            "{Manufacturer:String=Maker, MarketingName:String=Board X Pro, ModelName:String=Board "
            "X, ProductLine:Int=3, SerialNumber:String=SN-1, SystemDeviceUUID:String=1-2-3}");
  EXPECT_TRUE(p.host.HasLog(6, u"[DoQueryInformation] star"));
  EXPECT_TRUE(p.host.HasLog(6, u"[DoQueryInformation] END"));
}

TEST(LumenForwards, BothNamesForwardTheRequestUnchanged) {
  AttachedPlugin p(1);
  QuonValueSet response;
  p.host.SetReplier([](const RecordedMessage&, QuonValueSet* reply) {
    reply->SetStringValue("Ack", u"ok");
    return static_cast<HRESULT>(0x21);
  });
  for (const char16_t* name : {u"Notify.LumenSyncChange", u"Notify.LumenMessage"}) {
    QuonValueSet forward;
    forward.SetStringValue("Cmd", std::u16string(name));
    forward.SetUIntValue("Zone", 4);
    EXPECT_EQ(CallPlugin(p.plugin.get(), forward, &response), 0x21);
    EXPECT_EQ(response.GetStringValue("Ack"), u"ok");
    auto sends = p.host.sends();
    ASSERT_FALSE(sends.empty());
    EXPECT_TRUE(IsEqualGUID(sends.back().target, GUID_OrbFramework));
    EXPECT_EQ(sends.back().header()[2], 4);
    QuonValueSet body;
    ASSERT_TRUE(sends.back().Body(&body));
    EXPECT_TRUE(ValueSetsEqual(body, forward));
  }
}

}  // namespace
