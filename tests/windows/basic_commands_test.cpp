// The plug-in's own commands through OnMessage: the two loops observed
// through the host's callbacks (with tolerant timing), the value-kind echo,
// the user name, the identity query and the lighting forwards.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "../common/recording_host.h"
#include "frame/pelorus.h"
#include "hwinfo_machine.h"

namespace {

using OrbValue = QuonValueSet::OrbValue;

struct PluginDeleter {
  void operator()(IOrbPlugin* p) const { p->Release(); }
};
using PluginPtr = std::unique_ptr<IOrbPlugin, PluginDeleter>;

// Sends one framed request and returns the status; the reply is parsed into *response.
HRESULT Call(IOrbPlugin* plugin, const QuonValueSet& request, QuonValueSet* response) {
  std::vector<uint8_t> message = FrameMessage(kOrbMessageRequest, kOrbEndpointClients, request);
  uint8_t* reply = nullptr;
  uint64_t length = 0;
  HRESULT status = plugin->OnMessage(nullptr, message.data(), static_cast<uint32_t>(message.size()),
                                     &reply, &length);
  response->Clear();
  if (length != 0) response->Deserialize(reply, &length);
  std::free(reply);
  return status;
}

HRESULT Call(IOrbPlugin* plugin, const char16_t* cmd, QuonValueSet* response) {
  QuonValueSet request;
  request.SetStringValue("Cmd", std::u16string(cmd));
  return Call(plugin, request, response);
}

// Polls until the predicate holds or the deadline passes.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    Sleep(50);
  }
  return true;
}

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
  PluginPtr plugin(QueryLibrary(0));
  RecordingHost host;
  host.Attach(plugin.get());
  QuonValueSet response;

  // A stop without a loop returns at once.
  EXPECT_EQ(Call(plugin.get(), u"StopNotification", &response), S_OK);

  EXPECT_EQ(Call(plugin.get(), u"StartNotification", &response), S_OK);
  EXPECT_EQ(Call(plugin.get(), u"StartNotification", &response), S_OK);
  EXPECT_TRUE(response.Empty());
  ASSERT_TRUE(
      WaitFor([&] { return NotificationCounts(host).size() >= 2; }, std::chrono::seconds(10)));
  EXPECT_EQ(Call(plugin.get(), u"StopNotification", &response), S_OK);

  // One loop: the counts run 0, 1, ... without repeats, and nothing follows the stop.
  std::vector<int32_t> counts = NotificationCounts(host);
  for (size_t i = 0; i < counts.size(); ++i) EXPECT_EQ(counts[i], static_cast<int32_t>(i));
  EXPECT_EQ(Call(plugin.get(), u"StopNotification", &response), S_OK);
  EXPECT_EQ(NotificationCounts(host).size(), counts.size());
}

TEST(NotificationLoop, UninitializeEndsTheLoopAndInitializeRunsAgain) {
  HwMachine pluginFolder;
  pluginFolder.Place(L"SysInfoProbe.dll");
  pluginFolder.Profile("[SysInfoProbe]\nFeatures=0\nProductLine=Desktop\n");
  PluginPtr plugin(QueryLibrary(0));
  RecordingHost host;
  host.Attach(plugin.get());
  QuonValueSet response;
  ASSERT_EQ(plugin->Initialize(), 0);
  ASSERT_EQ(Call(plugin.get(), u"StartNotification", &response), S_OK);
  ASSERT_EQ(plugin->Uninitialize(), 0);
  size_t after = NotificationCounts(host).size();
  EXPECT_EQ(static_cast<Pelorus*>(plugin.get())->InitializedFlag(), 0u);
  // The loop thread has ended: a new start begins counting from 0 again.
  ASSERT_EQ(plugin->Initialize(), 0);
  EXPECT_EQ(static_cast<Pelorus*>(plugin.get())->InitializedFlag(), 1u);
  ASSERT_EQ(Call(plugin.get(), u"StartNotification", &response), S_OK);
  ASSERT_TRUE(
      WaitFor([&] { return NotificationCounts(host).size() > after; }, std::chrono::seconds(10)));
  EXPECT_EQ(NotificationCounts(host).back(), 0);
  EXPECT_EQ(plugin->Uninitialize(), 0);
}

TEST(AppServiceLoop, OneCycleQueriesTwiceThenToasts) {
  PluginPtr plugin(QueryLibrary(1));
  RecordingHost host;
  host.Attach(plugin.get());
  QuonValueSet start;
  start.SetStringValue("Cmd", std::u16string(u"RequestAppService"));
  start.SetValue("State", new OrbValue(true));
  QuonValueSet response;
  EXPECT_EQ(Call(plugin.get(), start, &response), S_OK);
  EXPECT_EQ(Call(plugin.get(), start, &response), S_OK);  // ignored: the loop runs
  ASSERT_TRUE(WaitFor([&] { return !host.sends().empty(); }, std::chrono::seconds(5)));

  // No "State": stop, which waits for the cycle in progress to finish.
  EXPECT_EQ(Call(plugin.get(), u"RequestAppService", &response), S_OK);
  auto sends = host.sends();
  ASSERT_EQ(sends.size(), 3u);
  const char16_t* handlers[] = {u"Test.AppServiceEventHandler1", u"Test.AppServiceEventHandler2"};
  for (int i = 0; i < 2; ++i) {
    QuonValueSet body;
    ASSERT_TRUE(sends[i].Body(&body));
    EXPECT_TRUE(IsEqualGUID(sends[i].target, GUID_OrbFramework));
    EXPECT_EQ(body.GetStringValue("Cmd"), u"Query.AppService");
    const QuonValueSet* q = body.GetChild("Request");
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q->GetStringValue("Target"), u"ConsolePlugin");
    EXPECT_EQ(q->GetStringValue("HandlerId"), handlers[i]);
    EXPECT_EQ(q->GetStringValue("Cmd"), u"ShowMyToast");
  }
  QuonValueSet toast;
  ASSERT_TRUE(sends[2].Body(&toast));
  EXPECT_EQ(toast.GetStringValue("Cmd"), u"Toast");
  ASSERT_NE(toast.GetChild("Request"), nullptr);
  EXPECT_EQ(toast.GetChild("Request")->GetStringValue("ToastTitle"), u"Test Toast");
  EXPECT_EQ(toast.GetChild("Request")->GetStringValue("ToastContent"),
            u"Come from KC3.Service - 1");
  EXPECT_TRUE(host.HasLog(6, u"[DoRequestToastAppService] star"));
  EXPECT_TRUE(host.HasLog(6, u"[DoRequestToastAppService] END"));
}

TEST(SendTest, EchoesEveryKindAndCountsWhileLogged) {
  PluginPtr plugin(QueryLibrary(0));
  QuonValueSet request;
  request.SetStringValue("Cmd", std::u16string(u"SendTest"));
  request.SetUIntValue("uint", 7);
  request.SetValue("uint64", new OrbValue(uint64_t{9}));
  QuonValueSet response;

  // Without a log callback the counter does not move.
  ASSERT_EQ(Call(plugin.get(), request, &response), S_OK);
  const int32_t unlogged = response.GetIntValue("Index");
  RecordingHost host;
  host.Attach(plugin.get());
  ASSERT_EQ(Call(plugin.get(), request, &response), S_OK);
  EXPECT_EQ(response.GetIntValue("Index"), unlogged);
  EXPECT_TRUE(host.HasLog(
      2, u"Receive OrbValueSet Command " + std::u16string(1, char16_t(u'0' + unlogged))));

  struct Expect {
    const char* key;
    uint8_t kind;
  };
  const Expect kinds[] = {{"Index", OrbValueKindInt},     {"bool", OrbValueKindBool},
                          {"int", OrbValueKindInt},       {"uint", OrbValueKindUInt},
                          {"int64", OrbValueKindInt64},   {"uint64", OrbValueKindUInt64},
                          {"double", OrbValueKindDouble}, {"String", OrbValueKindString},
                          {"Aaary", OrbValueKindBinary},  {"Request", OrbValueKindChild}};
  for (const Expect& e : kinds) {
    ASSERT_NE(response.GetValue(e.key), nullptr) << e.key;
    EXPECT_EQ(response.GetValue(e.key)->kind, e.kind) << e.key;
  }
  EXPECT_EQ(response.Count(), std::size(kinds));
  EXPECT_TRUE(response.GetBoolValue("bool"));
  EXPECT_EQ(response.GetIntValue("int"), 2357);
  EXPECT_EQ(response.GetUIntValue("uint"), 7u);
  EXPECT_EQ(response.GetInt64Value("int64"), 100);
  EXPECT_EQ(response.GetUInt64Value("uint64"), 9u);
  EXPECT_EQ(response.GetDoubleValue("double"), 10.10101010101);
  EXPECT_EQ(response.GetStringValue("String"), u"Sample");
  EXPECT_EQ(response.GetValue("String")->size, 12u);
  uint32_t size = 0;
  const uint8_t* bytes = response.GetBinary("Aaary", &size);
  ASSERT_EQ(size, 3u);
  EXPECT_EQ(bytes[0] + bytes[1] * 10 + bytes[2] * 100, 321);
  EXPECT_TRUE(ValueSetsEqual(*response.GetChild("Request"), request));

  // Shared data went through the host, and the peer got an empty request.
  ASSERT_EQ(host.data.count(u"CPU Frequency"), 1u);
  EXPECT_EQ(host.data[u"CPU Frequency"].tag, 0u);
  EXPECT_EQ(host.data[u"CPU Frequency"].bytes, (std::vector<uint8_t>{0xd8, 0x59, 0, 0}));
  auto sends = host.sends();
  ASSERT_EQ(sends.size(), 1u);
  EXPECT_TRUE(IsEqualGUID(sends[0].target, GUID_OrbTestPeer));
  EXPECT_EQ(sends[0].header()[2], 2);
  EXPECT_EQ(sends[0].bytes.size(), kOrbHeaderSize);

  // A "uint" of another kind reads as 0; the next logged call counts on.
  request.SetValue("uint", new OrbValue(int32_t{7}));
  ASSERT_EQ(Call(plugin.get(), request, &response), S_OK);
  EXPECT_EQ(response.GetUIntValue("uint"), 0u);
  EXPECT_EQ(response.GetIntValue("Index"), unlogged + 1);
}

TEST(GetName, AnswersTheThreadsUserName) {
  PluginPtr plugin(QueryLibrary(0));
  RecordingHost host;
  host.Attach(plugin.get());
  wchar_t expected[260];
  DWORD size = 260;
  ASSERT_TRUE(GetUserNameW(expected, &size));
  QuonValueSet response;
  ASSERT_EQ(Call(plugin.get(), u"GetName", &response), S_OK);
  EXPECT_EQ(response.GetStringValue("username"), AsU16Text(expected));
  EXPECT_TRUE(host.HasLog(6, u"[DoGetName] star"));
  EXPECT_TRUE(host.HasLog(6, u"[DoGetName] END"));
}

TEST(QueryInformation, CopiesWhatEachQueryAnswers) {
  PluginPtr plugin(QueryLibrary(0));
  RecordingHost host;
  host.Attach(plugin.get());
  QuonValueSet response;

  // The framework rejects every query: an empty answer.
  host.SetReplier(
      [](const RecordedMessage&, QuonValueSet*) { return static_cast<HRESULT>(0x80004005u); });
  ASSERT_EQ(Call(plugin.get(), u"QueryInformation", &response), S_OK);
  EXPECT_TRUE(response.Empty());

  // Each query answers its own keys, except "SerialNumber", answered with an
  // empty reply (so the previous reply is read again) and "SubBrand" (refused).
  host.SetReplier([](const RecordedMessage& m, QuonValueSet* reply) -> HRESULT {
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
  ASSERT_EQ(Call(plugin.get(), u"QueryInformation", &response), S_OK);
  EXPECT_EQ(response.GetIntValue("ProductLine"), 3);
  EXPECT_EQ(response.GetStringValue("ModelName"), u"Board X");
  EXPECT_EQ(response.GetStringValue("MarketingName"), u"Board X Pro");
  EXPECT_FALSE(response.Contains("SubBrand"));
  ASSERT_TRUE(response.Contains("SerialNumber"));
  EXPECT_EQ(response.GetStringValue("SerialNumber"), u"SN-1");  // read from the model reply
  EXPECT_EQ(response.GetStringValue("Manufacturer"), u"Maker");
  EXPECT_EQ(response.GetStringValue("SystemDeviceUUID"), u"1-2-3");
  EXPECT_EQ(response.Count(), 6u);
  EXPECT_TRUE(host.HasLog(6, u"[DoQueryInformation] star"));
  EXPECT_TRUE(host.HasLog(6, u"[DoQueryInformation] END"));
}

TEST(LumenForwards, BothNamesForwardTheRequestUnchanged) {
  PluginPtr plugin(QueryLibrary(1));
  QuonValueSet response;
  QuonValueSet request;
  request.SetStringValue("Cmd", std::u16string(u"Notify.LumenMessage"));
  EXPECT_EQ(static_cast<uint32_t>(Call(plugin.get(), request, &response)), 0xA0800005u);

  RecordingHost host;
  host.Attach(plugin.get());
  host.SetReplier([](const RecordedMessage&, QuonValueSet* reply) {
    reply->SetStringValue("Ack", u"ok");
    return static_cast<HRESULT>(0x21);
  });
  for (const char16_t* name : {u"Notify.LumenSyncChange", u"Notify.LumenMessage"}) {
    QuonValueSet forward;
    forward.SetStringValue("Cmd", std::u16string(name));
    forward.SetUIntValue("Zone", 4);
    EXPECT_EQ(Call(plugin.get(), forward, &response), 0x21);
    EXPECT_EQ(response.GetStringValue("Ack"), u"ok");
    auto sends = host.sends();
    ASSERT_FALSE(sends.empty());
    EXPECT_TRUE(IsEqualGUID(sends.back().target, GUID_OrbFramework));
    EXPECT_EQ(sends.back().header()[2], 4);
    QuonValueSet body;
    ASSERT_TRUE(sends.back().Body(&body));
    EXPECT_TRUE(ValueSetsEqual(body, forward));
  }
}

}  // namespace
