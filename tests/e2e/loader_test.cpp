// orbhost's loader with a real plug-in library in this process: the probe
// plug-in built beside this test. Covers the refusals that matter (a missing
// library, another interface version, a library that is no plug-in) and the
// lifecycle down to the last Release. (Requests, events and concurrent
// callbacks are seen through orbhost.exe, probe_e2e_test.cpp.)
#include <gtest/gtest.h>

#include "output.h"
#include "plugin_loader.h"
#include "router.h"
#include "test_support.h"

namespace orbhost {
namespace {

TEST(Loader, RefusesLibrariesItMustNotDrive) {
  const struct {
    std::wstring path;
    const char* reason;
  } cases[] = {
      {test::BesideTest(L"no_such_plugin.dll"), "cannot find the plug-in library"},
      {test::BesideTest(L"probe_old_version.dll"),
       "speaks interface version 0x40001; orbhost speaks 0x50001"},
      {test::BesideTest(L"orbhost_unit_tests.exe"), "does not export QueryInterfaceVersion"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_EQ(PluginLibrary::Open(c.path, &error), nullptr);
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
}

TEST(Loader, InitializesAndReleasesThePluginDownToZero) {
  std::string error;
  const auto library = PluginLibrary::Open(test::BesideTest(L"probe_plugin.dll"), &error);
  ASSERT_NE(library, nullptr) << error;
  test::RecordingEvents events;
  MessageRouter router;
  SharedDataStore data;
  LogSink log{0, nullptr};
  HostServices services{&log, &events, &router, &data};
  PluginSession session(*library, 0, &services);
  ASSERT_TRUE(session.valid());
  router.SetPlugin(session.plugin(), session.id());
  ASSERT_EQ(session.Initialize(), S_OK);
  QuonValueSet echo;
  echo.SetStringValue("Cmd", std::u16string(u"Echo"));
  CallResult result;
  session.Call(echo, &result);
  EXPECT_TRUE(result.replyValid);
  EXPECT_EQ(session.Shutdown(), 0u);
}

}  // namespace
}  // namespace orbhost
