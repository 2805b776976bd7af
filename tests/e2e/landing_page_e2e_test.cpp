// "GetOPLandingPageInfo" through orbhost and the real Pelorus.dll, against
// the provisioned machine's companions: every back end answers status 0 with
// its data. A missing back end fails these tests. (Unknown data and library
// types answer nothing: landing_page_test.cpp, in-process.)
#include <gtest/gtest.h>

#include "orbhost_runner.h"
#include "test_support.h"

namespace orbhost::test {
namespace {

Json Landing(const std::vector<std::wstring>& args) {
  std::vector<std::wstring> all = {L"call", L"GetOPLandingPageInfo"};
  all.insert(all.end(), args.begin(), args.end());
  all.push_back(L"--dll");
  all.push_back(PelorusPath());
  const RunResult r = RunOrbhost(all);
  EXPECT_EQ(r.exitCode, 0u) << r.err;
  const Json answer = r.Answer();
  EXPECT_EQ(answer["status"], "0x00000000") << r.out;
  return answer["response"];
}

TEST(LandingPageE2e, HmspReadsEveryCategoryAndOneByName) {
  const Json all = Landing({L"dllType:Int=0", L"dataType=All"})["All"];
  for (const char* key : {"Frequency", "Voltage", "Temperatue", "Fan", "WaterFlow"}) {
    ASSERT_TRUE(all.contains(key)) << key << all.dump();
    EXPECT_GE(all[key]["realCount"].get<int>(), 1) << key;
  }
  EXPECT_EQ(all["WaterFlow"]["type"], 5);
  // No dllType: HMSP.
  const Json temps = Landing({L"dataType=Temperatue"});
  EXPECT_EQ(temps["Temperatue"]["Temperatue"]["value0"]["type"], 3) << temps.dump();
}

TEST(LandingPageE2e, CpuzListsDevicesWithSensors) {
  const Json all = Landing({L"dllType:Int=1", L"dataType=All", L"dataParam=Temperature"})["All"];
  ASSERT_TRUE(all.contains("Processor")) << all.dump();
  EXPECT_TRUE(all["Processor"].contains("Temperature"));
  EXPECT_FALSE(all["Processor"].contains("Voltage"));
  EXPECT_TRUE(all["Memory"].contains("'ClockSpeed'"));
}

TEST(LandingPageE2e, SystemInformationBackEnds) {
  const Json info = Landing({L"dllType:Int=2"})["All"];
  EXPECT_EQ(info.size(), 10u) << info.dump();
  EXPECT_FALSE(info["CPUName"].get<std::string>().empty());
  EXPECT_EQ(info["ProductLine"], "Motherboard");
  EXPECT_EQ(Landing({L"dllType:Int=3", L"command=probe"})["All"]["MBSupport"], true);
  const Json usage = Landing({L"dllType:Int=4"})["All"];
  EXPECT_TRUE(usage.contains("MemoryUsage")) << usage.dump();
  EXPECT_TRUE(usage.contains("Disc (C:)")) << usage.dump();
}

}  // namespace
}  // namespace orbhost::test
