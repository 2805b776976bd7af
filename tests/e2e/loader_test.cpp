// orbhost's loader and callbacks with a real plug-in library in this
// process: the probe plug-in built beside this test. Covers the refusals of
// the loader, the lifecycle down to the last Release, re-entrant routing and
// the event callbacks. (Requests and answers, log lines, events and
// concurrent callbacks are seen through orbhost.exe, probe_e2e_test.cpp;
// shared data in routing_test.cpp.)
#include <gtest/gtest.h>

#include "output.h"
#include "plugin_loader.h"
#include "router.h"
#include "test_support.h"

namespace orbhost {
namespace {

using Value = QuonValueSet::OrbValue;

TEST(Loader, RefusesLibrariesItMustNotDrive) {
  const std::wstring notADll = test::TempFile(L"orb");
  const struct {
    std::wstring path;
    const char* reason;
  } cases[] = {
      {test::BesideTest(L"no_such_plugin.dll"), "cannot find the plug-in library"},
      {notADll, "cannot load"},
      {test::BesideTest(L"probe_old_version.dll"),
       "speaks interface version 0x40001; orbhost speaks 0x50001"},
      {test::BesideTest(L"probe_no_query_library.dll"), "does not export QueryLibrary"},
      {test::BesideTest(L"orbhost_unit_tests.exe"), "does not export QueryInterfaceVersion"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_EQ(PluginLibrary::Open(c.path, &error), nullptr);
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
  DeleteFileW(notADll.c_str());
}

class ProbeSession : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    library = PluginLibrary::Open(test::BesideTest(L"probe_plugin.dll"), &error);
    ASSERT_NE(library, nullptr) << error;
    session = std::make_unique<PluginSession>(*library, 0, &services);
    ASSERT_TRUE(session->valid());
    router.SetPlugin(session->plugin(), session->id());
    ASSERT_EQ(session->Initialize(), S_OK);
  }
  void TearDown() override {
    if (session) {
      EXPECT_EQ(session->Shutdown(), 0u);  // Release went down to zero
    }
  }

  test::RecordingEvents events;
  MessageRouter router;
  SharedDataStore data;
  LogSink log{0, nullptr};
  HostServices services{&log, &events, &router, &data};
  std::unique_ptr<PluginLibrary> library;
  std::unique_ptr<PluginSession> session;
};

TEST_F(ProbeSession, PluginRequestsAreRoutedReentrantly) {
  // The probe sends to its own identifier: orbhost calls back into OnMessage
  // while the first request is still running.
  QuonValueSet request;
  request.SetStringValue("Cmd", std::u16string(u"Send"));
  request.SetBinary("Target", &session->id(), sizeof(GUID));
  QuonValueSet* inner = request.CreateChild("Request");
  inner->SetStringValue("Cmd", std::u16string(u"Echo"));
  inner->SetValue("Depth", new Value(uint32_t{2}));
  CallResult result;
  session->Call(request, &result);
  ASSERT_TRUE(result.replyValid);
  EXPECT_EQ(result.response.GetUIntValue("Status"), 0u);
  ASSERT_NE(result.response.GetChild("Reply"), nullptr);
  EXPECT_EQ(result.response.GetChild("Reply")->GetUIntValue("Depth"), 2u);
}

TEST_F(ProbeSession, EventCallbacksReachTheHost) {
  QuonValueSet fire;
  fire.SetStringValue("Cmd", std::u16string(u"FireEventCallbacks"));
  CallResult result;
  session->Call(fire, &result);
  const std::vector<Json> fired = events.Take();
  ASSERT_EQ(fired.size(), 5u);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(fired[i]["callback"], i + 1);
    EXPECT_EQ(fired[i]["code"], 100 + i);
  }
}

}  // namespace
}  // namespace orbhost
