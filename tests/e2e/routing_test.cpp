// Routing of the plug-in's requests to the stand-ins, what each stand-in
// answers from a machine profile, and the shared-data and broadcast
// callbacks, driven through the callbacks as the plug-in calls them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "framing.h"
#include "host_callbacks.h"
#include "machine_profile.h"
#include "output.h"
#include "router.h"
#include "stand_ins.h"
#include "test_support.h"
#include "utf.h"

namespace orbhost {
namespace {

using Value = QuonValueSet::OrbValue;

constexpr const char* kProfile = R"({
  // comments are allowed
  "Query": {
    "SerialNumber": {"$status": "0xA0800005"},
    "UWPInfo": {"IsInstalled": true, "Version": "9.9"}
  },
  "Database": {"Upload": {"$status": 1, "CommandResult": false}},
  "Peers": {"{7d3f2a10-5c4b-4e21-9a6d-1b2c3d4e5f03}": {"Pong": true}}
})";

class Routing : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(profile.Parse(kProfile, &error)) << error;
    router.Register(GUID_OrbFramework, &framework);
    router.Register(GUID_OrbDatabasePlugin, &database);
    for (auto& [id, answer] : profile.Peers()) {
      peers.push_back(std::make_unique<FixedStandIn>(answer));
      router.Register(id, peers.back().get());
    }
  }

  // Sends request to target through the send callback, as the plug-in does.
  HRESULT Send(const GUID& target, const QuonValueSet& request, QuonValueSet& reply) {
    const std::vector<uint8_t> message =
        BuildMessage(MakeHeader(kOrbMessageRequest, 2, 2, target), request);
    uint8_t* bytes = nullptr;
    uint64_t length = 0;
    const HRESULT status =
        HostSend(&services, nullptr, &target, message.data(), message.size(), &bytes, &length);
    reply.Clear();
    if (length) {
      EXPECT_TRUE(reply.Deserialize(bytes, &length));
    }
    std::free(bytes);  // the plug-in frees replies with free
    return status;
  }

  // The events so far (each call takes them).
  const std::vector<Json>& Events() {
    for (auto& e : events.Take()) seen.push_back(std::move(e));
    return seen;
  }

  static QuonValueSet* Command(QuonValueSet& set, const char16_t* cmd) {
    set.SetStringValue("Cmd", std::u16string(cmd));
    return &set;
  }

  MachineProfile profile;
  test::RecordingEvents events;
  MessageRouter router;
  ConsoleStandIn console{profile, events};
  FrameworkStandIn framework{profile, events, console, router};
  DatabaseStandIn database{profile, events};
  std::vector<std::unique_ptr<FixedStandIn>> peers;
  std::vector<Json> seen;
  SharedDataStore data;
  LogSink log{0, nullptr};
  HostServices services{&log, &events, &router, &data};
};

TEST_F(Routing, FrameworkAnswersQueriesFromTheProfile) {
  QuonValueSet request, reply;
  EXPECT_EQ(Send(GUID_OrbFramework, *Command(request, u"Query.UWPInfo"), reply), S_OK);
  EXPECT_TRUE(reply.GetBoolValue("IsInstalled"));
  EXPECT_EQ(reply.GetStringValue("Version"), u"9.9");
  // A scripted failure, and a name the profile does not know.
  EXPECT_EQ(Send(GUID_OrbFramework, *Command(request, u"Query.SerialNumber"), reply),
            ORB_E_NOT_AVAILABLE);
  EXPECT_EQ(Send(GUID_OrbFramework, *Command(request, u"Query.Nothing"), reply),
            ORB_E_NOT_AVAILABLE);
  EXPECT_EQ(Send(GUID_OrbFramework, *Command(request, u"Reboot"), reply), ORB_E_UNKNOWN_COMMAND);
  EXPECT_EQ(reply.GetStringValue("Error"), u"Unknown Command");
}

TEST_F(Routing, AppServiceQueriesReachTheConsole) {
  QuonValueSet request, reply;
  Command(request, u"Query.AppService");
  QuonValueSet* inner = request.CreateChild("Request");
  // (The console's profile answers: GetUWPVersionByAppService, pelorus_e2e_test.cpp.)
  inner->SetStringValue("Target", std::u16string(u"ConsolePlugin"));
  inner->SetStringValue("Cmd", std::u16string(u"ShowMyToast"));
  inner->SetStringValue("HandlerId", std::u16string(u"Test.AppServiceEventHandler2"));
  EXPECT_EQ(Send(GUID_OrbFramework, request, reply), S_OK);
  ASSERT_EQ(Events().size(), 1u);
  EXPECT_EQ(Events()[0]["event"], "app-service");
  EXPECT_EQ(Events()[0]["handler"], "Test.AppServiceEventHandler2");

  inner->SetStringValue("Target", std::u16string(u"OtherPlugin"));
  EXPECT_EQ(Send(GUID_OrbFramework, request, reply), ORB_E_NOT_AVAILABLE);
}

TEST_F(Routing, ToastsAndLightingForwardsAreReportedAndAcknowledged) {
  QuonValueSet toast, reply;
  QuonValueSet* inner = Command(toast, u"Toast")->CreateChild("Request");
  inner->SetStringValue("ToastTitle", std::u16string(u"Test Toast"));
  inner->SetStringValue("ToastContent", std::u16string(u"Come from KC3.Service - 1"));
  inner->SetStringValue("ToastLogo", std::u16string(u"ms-appx:///logo.png"));
  EXPECT_EQ(Send(GUID_OrbFramework, toast, reply), S_OK);
  QuonValueSet lumen;
  Command(lumen, u"Notify.LumenMessage")->SetValue("Level", new Value(uint32_t{3}));
  EXPECT_EQ(Send(GUID_OrbFramework, lumen, reply), S_OK);

  ASSERT_EQ(Events().size(), 2u);
  EXPECT_EQ(Events()[0], Json({{"event", "toast"},
                               {"title", "Test Toast"},
                               {"content", "Come from KC3.Service - 1"},
                               {"logo", "ms-appx:///logo.png"}}));
  EXPECT_EQ(Events()[1]["cmd"], "Notify.LumenMessage");
  EXPECT_EQ(Events()[1]["request"]["Level"], 3);
}

TEST_F(Routing, WrappedRequestsAreUnwrappedAndDelivered) {
  // SendRequest to another endpoint, naming the test peer.
  QuonValueSet wrapper, reply;
  QuonValueSet* outer = Command(wrapper, u"SendRequest")->CreateChild("Request");
  outer->SetBinary("PID", &GUID_OrbTestPeer, sizeof(GUID));
  outer->SetValue("Destination", new Value(uint32_t{4}));
  Command(*outer->CreateChild("Request"), u"Ping");
  EXPECT_EQ(Send(GUID_OrbFramework, wrapper, reply), S_OK);
  EXPECT_TRUE(reply.GetBoolValue("Pong"));

  // Naming an identifier nobody stands in for.
  GUID nobody = GUID_OrbTestPeer;
  nobody.Data4[7] = 0x99;
  outer->SetBinary("PID", &nobody, sizeof nobody);
  EXPECT_EQ(Send(GUID_OrbFramework, wrapper, reply), ORB_E_NOT_AVAILABLE);
  // A PID that is not 16 bytes.
  outer->SetBinary("PID", "short", 5);
  EXPECT_EQ(Send(GUID_OrbFramework, wrapper, reply), E_INVALIDARG);
}

TEST_F(Routing, UnknownTargetsAndShortMessagesAreRefused) {
  QuonValueSet request, reply;
  GUID other = CLSID_PelorusPlugin;  // no plug-in registered with the router here
  EXPECT_EQ(Send(other, *Command(request, u"GetName"), reply), ORB_E_NOT_AVAILABLE);
  uint8_t* bytes = reinterpret_cast<uint8_t*>(1);
  uint64_t length = 99;
  const uint8_t shortMessage[16] = {};
  EXPECT_EQ(
      HostSend(&services, nullptr, &other, shortMessage, sizeof shortMessage, &bytes, &length),
      E_INVALIDARG);
  EXPECT_EQ(bytes, nullptr);
  EXPECT_EQ(length, 0u);
}

TEST_F(Routing, DatabaseRunsTheSelfTestSequence) {
  const std::u16string file = u"C:\\Users\\Public\\Libraries\\test_1_2.db";
  QuonValueSet execute, query, reply;
  Command(execute, u"SQLCommand")->SetStringValue("FilePath", file);
  execute.SetStringValue(
      "SQLCommand",
      std::u16string(u"Create Table TestTable(KeyID Integer Primary Key,Title Text Default '');"
                     u"Insert Into TestTable(KeyID, Title)Values(\"0\", \"first item\");"
                     u"Insert Into TestTable(KeyID, Title)Values(\"1\", \"second item\");"));
  EXPECT_EQ(Send(GUID_OrbDatabasePlugin, execute, reply), S_OK);
  EXPECT_TRUE(reply.GetBoolValue("CommandResult"));

  Command(query, u"SQLQueryTable")->SetStringValue("FilePath", file);
  query.SetStringValue("TableName", std::u16string(u"TestTable"));
  EXPECT_EQ(Send(GUID_OrbDatabasePlugin, query, reply), S_OK);
  EXPECT_TRUE(reply.GetBoolValue("CommandResult"));
  EXPECT_EQ(reply.GetStringValue("QueryResult"),
            u"\"0\", \"first item\"\n\"1\", \"second item\"\n");

  query.SetStringValue("TableName", std::u16string(u"Missing"));
  EXPECT_EQ(Send(GUID_OrbDatabasePlugin, query, reply), S_OK);
  EXPECT_FALSE(reply.GetBoolValue("CommandResult"));

  // The profile scripts Upload's answer.
  QuonValueSet upload;
  Command(upload, u"Upload");
  EXPECT_EQ(Send(GUID_OrbDatabasePlugin, upload, reply), 1);
  EXPECT_FALSE(reply.GetBoolValue("CommandResult"));
  ASSERT_EQ(Events().size(), 4u);
  EXPECT_EQ(Events()[3]["status"], "0x00000001");
}

TEST_F(Routing, SharedDataFollowsTheSizeQueryRule) {
  const uint32_t frequency = 23000;
  EXPECT_EQ(HostSetData(&services, nullptr, L"CPU Frequency", 7,
                        reinterpret_cast<const uint8_t*>(&frequency), 4),
            S_OK);
  // (A size query with no buffer: the probe's "Data", probe_e2e_test.cpp.)
  uint32_t tag = 0xDEADBEEF;
  uint8_t small[2];
  uint64_t length = sizeof small;
  EXPECT_EQ(HostGetData(&services, nullptr, L"CPU Frequency", &tag, small, &length),
            ORB_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, 4u);
  uint32_t value = 0;
  length = 8;  // larger than needed: fine, and reports the real size
  EXPECT_EQ(HostGetData(&services, nullptr, L"CPU Frequency", &tag,
                        reinterpret_cast<uint8_t*>(&value), &length),
            S_OK);
  EXPECT_EQ(value, 23000u);
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(tag, 7u);
  EXPECT_EQ(HostGetData(&services, nullptr, L"Unknown", &tag, nullptr, &length),
            ORB_E_NOT_AVAILABLE);
}

TEST_F(Routing, BroadcastsBecomeEventsWithTheirDestination) {
  QuonValueSet message;
  message.SetValue("NotificationCount", new Value(int32_t{0}));
  std::vector<uint8_t> bytes =
      BuildMessage(MakeHeader(kOrbMessageNotification, 2, 255, GUID{}), message);
  EXPECT_EQ(HostBroadcast(&services, nullptr, bytes.data(), bytes.size()), S_OK);
  bytes.push_back(0x42);  // a trailing byte that is no value
  EXPECT_EQ(HostBroadcast(&services, nullptr, bytes.data(), bytes.size()), S_OK);
  EXPECT_EQ(HostBroadcast(&services, nullptr, bytes.data(), 31), E_INVALIDARG);
  ASSERT_EQ(Events().size(), 2u);
  EXPECT_EQ(Events()[0]["destination"], 255);
  EXPECT_EQ(Events()[0]["message"]["NotificationCount"], 0);
  EXPECT_TRUE(Events()[1].contains("error"));
}

TEST(MachineProfile, DefaultAnswersEverySystemQuery) {
  const MachineProfile profile = DefaultMachineProfile();
  for (const char* name : {"ProductLine", "ModelName", "SubBrand", "SerialNumber", "Manufacturer",
                           "SystemDeviceUUID", "UWPInfo"}) {
    const auto* answer = profile.Find(MachineProfile::Section::kQuery, name);
    ASSERT_NE(answer, nullptr) << name;
    QuonValueSet reply;
    EXPECT_EQ(MachineProfile::Apply(*answer, reply), S_OK);
    EXPECT_FALSE(reply.Empty()) << name;
  }
  QuonValueSet reply;
  MachineProfile::Apply(*profile.Find(MachineProfile::Section::kQuery, "ProductLine"), reply);
  EXPECT_EQ(reply.GetValue("ProductLine")->kind, OrbValueKindInt);  // the plug-in reads an Int
  EXPECT_NE(profile.Find(MachineProfile::Section::kConsole, "GetUWPVersion"), nullptr);
}

TEST(MachineProfile, MalformedProfilesAreRefusedWithTheirPlace) {
  const struct {
    const char* json;
    const char* reason;
  } cases[] = {
      {"[1]", "not a JSON object"},
      {R"({"Queries": {}})", "unknown section 'Queries'"},
      {R"({"Query": {"A": 1}})", "'Query.A' is not an object"},
      {R"({"Query": {"A": {"$status": "bad"}}})", "'Query.A.$status'"},
      {R"({"Query": {"A": {"x:UInt": -1}}})", "'Query.A': 'x:UInt'"},
      {R"({"Peers": {"not-a-guid": {}}})", "'Peers.not-a-guid' is not a GUID"},
  };
  for (const auto& c : cases) {
    MachineProfile profile;
    std::string error;
    EXPECT_FALSE(profile.Parse(c.json, &error)) << c.json;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace orbhost
