// The plug-in base: binary interface slots, naming rules, framing, dispatch
// and the services that go back to the host.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "../common/orb_vtables.h"
#include "../common/recording_host.h"
#include "frame/base_orb_plugin.h"

namespace {

constexpr GUID kPluginId = PELORUS_FAMILY_GUID(0x01);
constexpr GUID kFrameworkId = PELORUS_FAMILY_GUID(0x02);
constexpr GUID kOtherId = PELORUS_FAMILY_GUID(0x03);

// A concrete plug-in whose open operations return their own slot number, so
// a call through the wrong slot is visible.
class TestPlugin : public BaseOrbPlugin {
 public:
  explicit TestPlugin(uint32_t inUserSession = 0, bool* destroyed = nullptr)
      : BaseOrbPlugin(u"Pelorus", kPluginId, kFrameworkId, u"Pelorus Display", {5, 9, 9, 0},
                      inUserSession),
        m_destroyed(destroyed) {
    RegisterCommand(u"Echo", &TestPlugin::DoEcho);
    RegisterCommand(u"Fail", &TestPlugin::DoFail);
    RegisterCommand(u"Throw", &TestPlugin::DoThrow);
  }
  ~TestPlugin() override {
    if (m_destroyed != nullptr) *m_destroyed = true;
  }

  HRESULT STDMETHODCALLTYPE Initialize() override { return 9; }
  HRESULT STDMETHODCALLTYPE Uninitialize() override { return 10; }
  uint32_t STDMETHODCALLTYPE ReservedQuery1() override { return 11; }
  uint32_t STDMETHODCALLTYPE ReservedQuery2() override { return 12; }
  void STDMETHODCALLTYPE ReservedNotice() override { ++notices; }
  uint32_t STDMETHODCALLTYPE ReservedQuery3() override { return 17; }
  uint32_t STDMETHODCALLTYPE ReservedQuery4() override { return 18; }
  uint32_t STDMETHODCALLTYPE ReservedQuery5() override { return 19; }
  uint32_t STDMETHODCALLTYPE ReservedQuery6() override { return 20; }

  HRESULT OnNotify(uint8_t source, QuonValueSet* message) override {
    lastNotifySource = source;
    lastNotifyText = message->GetStringValue("Text");
    return 0x1234;  // ignored by OnMessage
  }

  HRESULT DoEcho(IOrbLibrary* caller, QuonValueSet* request, QuonValueSet* response) {
    lastCaller = caller;
    response->CopyFrom(*request);
    response->SetUIntValue("Handled", 1);
    return S_OK;
  }
  HRESULT DoFail(IOrbLibrary*, QuonValueSet*, QuonValueSet* response) {
    response->SetStringValue("Why", u"broken");
    return static_cast<HRESULT>(0x80004005u);
  }

  // Fills the response, then throws what "Kind" names: bad_alloc, or
  // something that is no std::exception.
  HRESULT DoThrow(IOrbLibrary*, QuonValueSet* request, QuonValueSet* response) {
    response->SetStringValue("Partial", std::u16string(200, u'x'));
    if (request->GetUIntValue("Kind") == 1) throw std::bad_alloc();
    throw 7;
  }

  int notices = 0;
  uint8_t lastNotifySource = 0;
  std::u16string lastNotifyText;
  std::atomic<IOrbLibrary*> lastCaller{nullptr};

 private:
  bool* m_destroyed;
};

struct Reply {
  HRESULT status;
  uint8_t* bytes = nullptr;
  uint64_t length = 0;
  QuonValueSet set;
  ~Reply() { std::free(bytes); }
};

void Deliver(IOrbPlugin* plugin, const std::vector<uint8_t>& message, Reply* out,
             IOrbLibrary* caller = nullptr) {
  out->status = plugin->OnMessage(caller, message.data(), static_cast<uint32_t>(message.size()),
                                  &out->bytes, &out->length);
  uint64_t length = out->length;
  if (length != 0) {
    ASSERT_TRUE(out->set.Deserialize(out->bytes, &length));
  }
}

// Frames a request holding just "Cmd".
std::vector<uint8_t> CmdMessage(const char16_t* cmd, uint8_t type = kOrbMessageRequest) {
  QuonValueSet q;
  q.SetStringValue("Cmd", std::u16string(cmd));
  return FrameMessage(type, 1, q);
}

// Checks a message the plug-in sent (its target and its type, source,
// destination and marker bytes) and parses its body.
void CheckSent(const RecordedMessage& m, const GUID& target, const std::vector<uint8_t>& head,
               QuonValueSet* body) {
  EXPECT_TRUE(IsEqualGUID(m.target, target));
  EXPECT_EQ(std::vector<uint8_t>(m.bytes.begin(), m.bytes.begin() + 4), head);
  EXPECT_TRUE(m.Body(body));
}

TEST(BasePluginInterface, OperationsSitInTheirSlots) {
  TestPlugin plugin;
  const auto& v = VtblOf<OrbPluginVtbl>(static_cast<IOrbPlugin*>(&plugin));
  void* self = static_cast<IOrbPlugin*>(&plugin);

  EXPECT_EQ(v.unknown.AddRef(self), 2u);
  EXPECT_EQ(v.unknown.Release(self), 1u);
  GUID id{};
  v.GetId(self, &id);
  EXPECT_TRUE(IsEqualGUID(id, kPluginId));
  v.GetFrameworkId(self, &id);
  EXPECT_TRUE(IsEqualGUID(id, kFrameworkId));
  OrbWChar name[32];
  uint32_t count = 32;
  ASSERT_EQ(v.GetDisplayName(self, name, &count), S_OK);
  EXPECT_EQ(std::u16string(AsU16(name)), u"Pelorus Display");
  OrbVersion version{};
  v.GetVersion(self, &version);
  EXPECT_EQ(std::vector<uint32_t>({version.major, version.minor, version.build, version.revision}),
            std::vector<uint32_t>({5, 9, 9, 0}));

  EXPECT_EQ(v.Initialize(self), 9);
  EXPECT_EQ(v.Uninitialize(self), 10);
  v.ReservedNotice(self);
  EXPECT_EQ(plugin.notices, 1);
  EXPECT_EQ(
      std::vector<uint32_t>({v.ReservedQuery1(self), v.ReservedQuery2(self), v.ReservedQuery3(self),
                             v.ReservedQuery4(self), v.ReservedQuery5(self), v.ReservedQuery6(self),
                             v.ReservedQuery7(self)}),
      std::vector<uint32_t>({11, 12, 17, 18, 19, 20, 0}));
  EXPECT_EQ(v.ReservedCall1(self), ORB_E_NOT_IMPLEMENTED);
  EXPECT_EQ(v.ReservedCall2(self), ORB_E_NOT_IMPLEMENTED);

  // Setters in slots 14, 16, 24, 25, 26: each one's callback is the one used.
  RecordingHost host;
  v.SetLogCallback(self, RecordingHost::LogFunction(), &host);
  plugin.Log(4, u"slot %d", 14);
  EXPECT_TRUE(host.HasLog(4, u"slot 14"));
  IOrbPlugin* asPlugin = &plugin;
  // The send callback gets its context first and the plug-in second.
  v.SetSendCallback(
      self, [](void* ctx, IOrbPlugin* p, auto...) -> HRESULT { return ctx == p ? 0x78 : 0x77; },
      asPlugin);
  QuonValueSet q, r;
  EXPECT_EQ(plugin.SendRequest(kOtherId, &q, &r), 0x78);
  v.SetGetDataCallback(
      self, [](auto...) -> HRESULT { return 25; }, nullptr);
  v.SetSetDataCallback(
      self, [](auto...) -> HRESULT { return 26; }, nullptr);
  uint32_t tag = 0;
  uint64_t len = 0;
  EXPECT_EQ(plugin.GetSharedData(u"x", &tag, nullptr, &len), 25);
  EXPECT_EQ(plugin.SetSharedData(u"x", 0, nullptr, 0), 26);
  v.SetBroadcastCallback(
      self, [](auto...) -> HRESULT { return 24; }, nullptr);
  EXPECT_EQ(plugin.Broadcast(1, &q), 24);

  // Slot 15: OnMessage.
  const std::vector<uint8_t> message = CmdMessage(u"Nothing");
  uint8_t* reply = nullptr;
  uint64_t length = 0;
  EXPECT_EQ(v.OnMessage(self, nullptr, message.data(), static_cast<uint32_t>(message.size()),
                        &reply, &length),
            ORB_E_UNKNOWN_COMMAND);
  std::free(reply);
}

TEST(BasePluginInterface, NameFollowsTheSizeQueryRule) {
  TestPlugin plugin;
  struct Case {
    uint32_t count;
    bool buffer;
    HRESULT status;
    uint32_t countAfter;
  };
  const Case cases[] = {
      {0, false, ORB_E_BUFFER_TOO_SMALL, 8},
      {7, true, ORB_E_BUFFER_TOO_SMALL, 8},
      {8, false, E_INVALIDARG, 8},
      {8, true, S_OK, 8},
  };
  for (const Case& c : cases) {
    OrbWChar buffer[100];
    std::fill(std::begin(buffer), std::end(buffer), OrbWChar(0x7777));
    uint32_t count = c.count;
    HRESULT status = plugin.GetName(c.buffer ? buffer : nullptr, &count);
    EXPECT_EQ(status, c.status) << "count " << c.count << " buffer " << c.buffer;
    EXPECT_EQ(count, c.countAfter);
    if (status == S_OK) {
      EXPECT_EQ(std::u16string(AsU16(buffer)), u"Pelorus");
      EXPECT_EQ(buffer[8], OrbWChar(0x7777)) << "wrote past the terminator";
    } else if (c.buffer) {
      EXPECT_EQ(buffer[0], OrbWChar(0x7777)) << "wrote into a refused buffer";
    }
  }
}

TEST(BasePluginInterface, ReferenceCountDestroysAtZero) {
  bool destroyed = false;
  auto* plugin = new TestPlugin(0, &destroyed);
  for (const GUID& iid : {IID_IUnknown, IID_IOrbLibrary, IID_IOrbPlugin}) {
    void* itf = nullptr;
    ASSERT_EQ(plugin->QueryInterface(iid, &itf), S_OK);
    EXPECT_EQ(itf, static_cast<void*>(static_cast<IOrbPlugin*>(plugin)));
    EXPECT_EQ(plugin->Release(), 1u);
  }
  void* itf = reinterpret_cast<void*>(0xdeadbeef);
  EXPECT_EQ(plugin->QueryInterface(PELORUS_FAMILY_GUID(0x24), &itf), E_NOINTERFACE);
  EXPECT_EQ(itf, nullptr);
  EXPECT_EQ(plugin->RefCount(), 1u);
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(plugin->Release(), 0u);
  EXPECT_TRUE(destroyed);
}

// --- OnMessage and ProcessRequest ---------------------------------------------

TEST(BasePluginDispatch, UnknownCommandsAnswerWithTheExactReply) {
  TestPlugin plugin;
  // {"Error": String "Unknown Command"}, its terminator counted: 5 + key + 5 + 32.
  std::vector<uint8_t> expected = {5, 'E', 'r', 'r', 'o', 'r', 0x10, 32, 0, 0, 0};
  for (char c : std::string("Unknown Command")) expected.insert(expected.end(), {uint8_t(c), 0});
  expected.insert(expected.end(), {0, 0});

  QuonValueSet notText, otherCase;
  notText.SetUIntValue("Cmd", 1);
  otherCase.SetStringValue("Cmd", std::u16string(u"echo"));  // names are case-sensitive
  // A body that does not parse, or is missing, is an empty request.
  std::vector<uint8_t> truncated = CmdMessage(u"Echo");
  truncated.pop_back();
  const std::vector<uint8_t> messages[] = {FrameMessage(kOrbMessageRequest, 1, notText),
                                           FrameMessage(kOrbMessageRequest, 1, otherCase),
                                           truncated,
                                           {0xE1}};
  for (const std::vector<uint8_t>& message : messages) {
    Reply reply;
    Deliver(&plugin, message, &reply);
    EXPECT_EQ(static_cast<uint32_t>(reply.status), 0xA0800010u);
    EXPECT_EQ(std::vector<uint8_t>(reply.bytes, reply.bytes + reply.length), expected);
  }
}

// Handlers get the caller and the request; their status and response go back
// even when they fail, and every command is logged.
TEST(BasePluginDispatch, HandlersAnswerWithTheirStatusAndResponse) {
  TestPlugin plugin;
  RecordingHost host;
  host.Attach(&plugin);
  QuonValueSet q;
  q.SetStringValue("Cmd", std::u16string(u"Echo"));
  q.CreateChild("Nested")->SetDoubleValue("d", 2.5);
  IOrbLibrary* caller = &plugin;
  Reply echo;
  Deliver(&plugin, FrameMessage(kOrbMessageRequest, 1, q), &echo, caller);
  EXPECT_EQ(echo.status, S_OK);
  EXPECT_EQ(plugin.lastCaller.load(), caller);
  q.SetUIntValue("Handled", 1);
  EXPECT_TRUE(ValueSetsEqual(echo.set, q));

  Reply fail;
  Deliver(&plugin, CmdMessage(u"Fail"), &fail);
  EXPECT_EQ(static_cast<uint32_t>(fail.status), 0x80004005u);
  EXPECT_EQ(fail.set.GetStringValue("Why"), u"broken");

  const std::vector<RecordedLog> logs = host.logs();
  ASSERT_EQ(logs.size(), 2u);
  EXPECT_EQ(logs[0].level, 6u);
  EXPECT_EQ(logs[0].format, u"ProcessRequest, Cmd:%s");
  EXPECT_EQ(logs[0].text, u"ProcessRequest, Cmd:Echo");

  // A host that takes no reply: the serialised answer is freed (LeakSanitizer watches).
  const std::vector<uint8_t> message = CmdMessage(u"Echo");
  EXPECT_EQ(plugin.OnMessage(nullptr, message.data(), static_cast<uint32_t>(message.size()),
                             nullptr, nullptr),
            S_OK);
}

// Delivers a message that must get no reply: the reply pointer is left alone.
HRESULT DeliverWithoutReply(IOrbPlugin* plugin, const std::vector<uint8_t>& message) {
  uint8_t* const untouched = reinterpret_cast<uint8_t*>(0x1);
  uint8_t* reply = untouched;
  uint64_t length = 0;
  const HRESULT status = plugin->OnMessage(nullptr, message.data(),
                                           static_cast<uint32_t>(message.size()), &reply, &length);
  EXPECT_EQ(reply, untouched);
  EXPECT_EQ(length, 0u);
  return status;
}

// Nothing a handler throws reaches the host: a status, no reply, nothing
// leaked (LeakSanitizer watches).
TEST(BasePluginDispatch, ThrowingHandlerAnswersWithAStatusAndNoReply) {
  TestPlugin plugin;
  const std::pair<uint32_t, uint32_t> cases[] = {{0, 0x8000FFFFu},
                                                 {1, 0x8007000Eu}};  // E_UNEXPECTED, E_OUTOFMEMORY
  for (const auto& [kind, status] : cases) {
    QuonValueSet q;
    q.SetStringValue("Cmd", std::u16string(u"Throw"));
    q.SetUIntValue("Kind", kind);
    EXPECT_EQ(
        static_cast<uint32_t>(DeliverWithoutReply(&plugin, FrameMessage(kOrbMessageRequest, 1, q))),
        status);
  }
}

TEST(BasePluginDispatch, NotificationsAndOtherTypes) {
  TestPlugin plugin;
  QuonValueSet body;
  body.SetStringValue("Text", std::u16string(u"hello"));
  EXPECT_EQ(DeliverWithoutReply(&plugin, FrameMessage(kOrbMessageNotification, 4, body)), S_OK);
  EXPECT_EQ(plugin.lastNotifySource, 4);
  EXPECT_EQ(plugin.lastNotifyText, u"hello");

  for (uint8_t type : {0x00, 0xE2, 0xFF}) {
    EXPECT_EQ(DeliverWithoutReply(&plugin, CmdMessage(u"Echo", type)), ORB_E_NOT_AVAILABLE);
  }
  uint8_t* reply = nullptr;
  uint64_t length = 0;
  EXPECT_EQ(plugin.OnMessage(nullptr, nullptr, 100, &reply, &length), ORB_E_NOT_AVAILABLE);
  EXPECT_EQ(reply, nullptr);
}

TEST(BasePluginDispatch, ConcurrentRequestsAreIndependent) {
  TestPlugin plugin;
  RecordingHost host;
  host.Attach(&plugin);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        QuonValueSet q;
        q.SetStringValue("Cmd", std::u16string(u"Echo"));
        q.SetUIntValue("n", static_cast<uint32_t>(t * 1000 + i));
        Reply reply;
        Deliver(&plugin, FrameMessage(kOrbMessageRequest, 1, q), &reply);
        if (reply.status != S_OK || reply.set.GetUIntValue("n") != uint32_t(t * 1000 + i)) {
          ++failures;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(host.logs().size(), 800u);
}

// --- Services back to the host --------------------------------------------------

TEST(BasePluginServices, MissingCallbacksAreNotAvailable) {
  TestPlugin plugin;
  QuonValueSet q, r;
  uint32_t tag = 0;
  uint64_t length = 0;
  EXPECT_EQ(plugin.SendRequest(kOtherId, &q, &r), ORB_E_NOT_AVAILABLE);
  EXPECT_EQ(plugin.Query(u"UWPInfo", &r), ORB_E_NOT_AVAILABLE);
  EXPECT_EQ(plugin.Broadcast(1, &q), ORB_E_NOT_AVAILABLE);
  EXPECT_EQ(plugin.GetSharedData(u"x", &tag, nullptr, &length), ORB_E_NOT_AVAILABLE);
  EXPECT_EQ(plugin.SetSharedData(u"x", 0, nullptr, 0), ORB_E_NOT_AVAILABLE);
}

TEST(BasePluginServices, SendRequestToOwnEndpointIsUnwrapped) {
  TestPlugin plugin;
  RecordingHost host;
  host.Attach(&plugin);
  host.SetReplier([](const RecordedMessage&, QuonValueSet* reply) {
    reply->SetStringValue("Answer", std::u16string(u"yes"));
    return static_cast<HRESULT>(0x42);
  });
  QuonValueSet q;
  q.SetStringValue("Cmd", std::u16string(u"Ping"));
  QuonValueSet r;
  r.SetUIntValue("Stale", 1);
  EXPECT_EQ(plugin.SendRequest(kOtherId, &q, &r), 0x42);

  const std::vector<RecordedMessage> sends = host.sends();
  ASSERT_EQ(sends.size(), 1u);
  QuonValueSet body;
  CheckSent(sends[0], kOtherId, {0xE1, 2, 2, 2}, &body);
  EXPECT_TRUE(ValueSetsEqual(body, q));
  // The reply replaces the response's previous content.
  EXPECT_EQ(r.GetStringValue("Answer"), u"yes");
  EXPECT_FALSE(r.Contains("Stale"));
}

TEST(BasePluginServices, SendRequestToAnotherEndpointIsWrappedForTheFramework) {
  TestPlugin plugin(0);
  RecordingHost host;
  host.Attach(&plugin);
  QuonValueSet q;
  q.SetStringValue("Cmd", std::u16string(u"Ping"));
  q.CreateChild("Deep")->SetUIntValue("x", 7);
  QuonValueSet r;
  r.SetUIntValue("Kept", 1);
  EXPECT_EQ(plugin.SendRequest(kOtherId, &q, &r, 4), S_OK);

  const std::vector<RecordedMessage> sends = host.sends();
  ASSERT_EQ(sends.size(), 1u);
  QuonValueSet body;
  CheckSent(sends[0], kFrameworkId, {0xE1, 2, 4, 2}, &body);
  EXPECT_EQ(body.GetStringValue("Cmd"), u"SendRequest");
  const QuonValueSet* outer = body.GetChild("Request");
  ASSERT_NE(outer, nullptr);
  uint32_t pidSize = 0;
  const uint8_t* pid = outer->GetBinary("PID", &pidSize);
  ASSERT_EQ(pidSize, 16u);
  EXPECT_EQ(std::memcmp(pid, &kOtherId, 16), 0);
  EXPECT_EQ(outer->GetUIntValue("Destination"), 4u);
  ASSERT_NE(outer->GetChild("Request"), nullptr);
  EXPECT_TRUE(ValueSetsEqual(*outer->GetChild("Request"), q));
  // No reply: the response stays as it was.
  EXPECT_EQ(r.GetUIntValue("Kept"), 1u);
}

TEST(BasePluginServices, QueryAndToastGoToTheFrameworkUnwrapped) {
  TestPlugin plugin(1);
  RecordingHost host;
  host.Attach(&plugin);
  QuonValueSet q;
  q.SetUIntValue("Arg", 3);
  QuonValueSet r;
  EXPECT_EQ(plugin.Query(u"ModelName", &q, &r), S_OK);
  EXPECT_EQ(plugin.Query(nullptr, &q, &r), ORB_E_NOT_AVAILABLE);
  EXPECT_EQ(plugin.Toast(u"Title", u"Body"), S_OK);

  const std::vector<RecordedMessage> sends = host.sends();
  ASSERT_EQ(sends.size(), 2u);
  std::vector<QuonValueSet> bodies(2);
  for (size_t i = 0; i < 2; ++i) CheckSent(sends[i], kFrameworkId, {0xE1, 4, 4, 2}, &bodies[i]);
  EXPECT_EQ(bodies[0].GetStringValue("Cmd"), u"Query.ModelName");
  ASSERT_NE(bodies[0].GetChild("Request"), nullptr);
  EXPECT_TRUE(ValueSetsEqual(*bodies[0].GetChild("Request"), q));

  EXPECT_EQ(bodies[1].GetStringValue("Cmd"), u"Toast");
  const QuonValueSet* toast = bodies[1].GetChild("Request");
  ASSERT_NE(toast, nullptr);
  EXPECT_EQ(toast->GetStringValue("ToastTitle"), u"Title");
  EXPECT_EQ(toast->GetStringValue("ToastContent"), u"Body");
  EXPECT_EQ(toast->GetStringValue("ToastLogo"),
            u"ms-appx:///CorvaneKiosk.Core/Assets/Corvane Kiosk_UWP_Crop/System/"
            u"quon_kc_system_file_ic.png");
  // Terminators are not counted in the toast texts.
  EXPECT_EQ(toast->GetValue("ToastTitle")->size, 10u);
}

TEST(BasePluginServices, BroadcastFramesTheSetForTheDestination) {
  TestPlugin plugin;
  RecordingHost host;
  host.Attach(&plugin);
  QuonValueSet set;
  set.SetStringValue("Event", std::u16string(u"DeviceChange"));
  EXPECT_EQ(plugin.Broadcast(255, &set), S_OK);
  const std::vector<RecordedMessage> broadcasts = host.broadcasts();
  ASSERT_EQ(broadcasts.size(), 1u);
  // Type, source, destination and marker bytes, then the plug-in's own id.
  const uint8_t* header = broadcasts[0].header();
  EXPECT_EQ(std::vector<uint8_t>(header, header + 4), (std::vector<uint8_t>{0xE4, 2, 255, 2}));
  EXPECT_EQ(std::memcmp(header + 16, &kPluginId, 16), 0);
  QuonValueSet body;
  ASSERT_TRUE(broadcasts[0].Body(&body));
  EXPECT_TRUE(ValueSetsEqual(body, set));
}

}  // namespace
