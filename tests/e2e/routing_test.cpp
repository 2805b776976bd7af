// A database answer the machine profile scripts, the shared-data callbacks
// and the machine profiles, driven through the callbacks as the plug-in
// calls them. (The framework's, the console's and the database's own
// answers, the lighting forwards and broadcasts are seen through orbhost.exe,
// pelorus_e2e_test.cpp and database_e2e_test.cpp.)
#include <gtest/gtest.h>

#include <cstdlib>

#include "framing.h"
#include "host_callbacks.h"
#include "machine_profile.h"
#include "output.h"
#include "router.h"
#include "stand_ins.h"
#include "test_support.h"

namespace orbhost {
namespace {

constexpr const char* kProfile =
    R"({"Database": {"Upload": {"$status": 1, "CommandResult": false}}})";

class Routing : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(profile.Parse(kProfile, &error)) << error;
    router.Register(GUID_OrbDatabasePlugin, &database);
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
  LogSink log{0, nullptr};
  DatabaseStandIn database{profile, events, log, L"C:\\nowhere"};
  std::vector<Json> seen;
  SharedDataStore data;
  HostServices services{&log, &events, &router, &data};
};

// The profile's Database section replaces the stand-in's own answer (which
// orbhost_e2e_tests see through orbhost.exe).
TEST_F(Routing, ProfileScriptsADatabaseAnswer) {
  QuonValueSet upload, reply;
  Command(upload, u"Upload");
  EXPECT_EQ(Send(GUID_OrbDatabasePlugin, upload, reply), 1);
  EXPECT_FALSE(reply.GetBoolValue("CommandResult"));
  ASSERT_EQ(Events().size(), 1u);
  EXPECT_EQ(Events()[0]["status"], "0x00000001");
}

TEST_F(Routing, SharedDataFollowsTheSizeQueryRule) {
  const uint32_t frequency = 23000;
  EXPECT_EQ(HostSetData(&services, nullptr, L"CPU Frequency", 7,
                        reinterpret_cast<const uint8_t*>(&frequency), 4),
            S_OK);
  uint32_t tag = 0xDEADBEEF;
  uint8_t small[2];
  uint64_t length = sizeof small;
  EXPECT_EQ(HostGetData(&services, nullptr, L"CPU Frequency", &tag, small, &length),
            ORB_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, 4u);
  uint32_t value = 0;
  length = sizeof value;
  EXPECT_EQ(HostGetData(&services, nullptr, L"CPU Frequency", &tag,
                        reinterpret_cast<uint8_t*>(&value), &length),
            S_OK);
  EXPECT_EQ(value, 23000u);
  EXPECT_EQ(tag, 7u);
  EXPECT_EQ(HostGetData(&services, nullptr, L"Unknown", &tag, nullptr, &length),
            ORB_E_NOT_AVAILABLE);
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

TEST(MachineProfile, AMalformedProfileIsRefusedWithItsPlace) {
  MachineProfile profile;
  std::string error;
  EXPECT_FALSE(profile.Parse(R"({"Query": {"A": {"x:UInt": -1}}})", &error));
  EXPECT_NE(error.find("'Query.A': 'x:UInt'"), std::string::npos) << error;
}

}  // namespace
}  // namespace orbhost
