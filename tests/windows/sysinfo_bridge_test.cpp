// The system-information bridge against the SysInfoProbe.dll stand-in.
#include <gtest/gtest.h>

#include "hwinfo/sysinfo_bridge.h"
#include "hwinfo_machine.h"
#include "pelorus/value_set.h"

namespace {

TEST(SysInfoBridge, MainboardTestIsExactAndCaseSensitive) {
  HwMachine machine;
  machine.Place(L"SysInfoProbe.dll");
  for (const auto& [line, expected] :
       std::initializer_list<std::pair<std::string, bool>>{{"Motherboard", true},
                                                           {"Motherboard2", false},
                                                           {"motherboard", false},
                                                           {"Desktop", false}}) {
    machine.Profile("[SysInfoProbe]\nProductLine=" + line + "\n");
    QuonValueSet node;
    EXPECT_EQ(sysinfo::GetMBSupport(&node), expected) << line;
    EXPECT_EQ(node.GetBoolValue("MBSupport"), expected) << line;
  }
}

TEST(SysInfoBridge, UsageKeysPerDiskAndFirstMemoryRecord) {
  HwMachine machine;
  machine.Place(L"SysInfoProbe.dll");
  machine.Profile("[SysInfoProbe]\nDisks=C:\\=41.5;D:\\=73.0\nMemoryUsage=63.2\n");
  QuonValueSet node;
  sysinfo::GetHardwareUsage(&node);
  EXPECT_EQ(node.Count(), 3u);
  EXPECT_DOUBLE_EQ(node.GetDoubleValue("Disc (C:)"), 41.5);
  EXPECT_DOUBLE_EQ(node.GetDoubleValue("Disc (D:)"), 73.0);
  EXPECT_DOUBLE_EQ(node.GetDoubleValue("MemoryUsage"), 63.2);

  machine.Profile("[SysInfoProbe]\nDisks=\nMemoryUsage=\n");
  QuonValueSet empty;
  sysinfo::GetHardwareUsage(&empty);
  EXPECT_TRUE(empty.Empty());
}

TEST(SysInfoBridge, TextFactsAndTheFeatureWord) {
  HwMachine machine;
  machine.Place(L"SysInfoProbe.dll");
  machine.Profile(
      "[SysInfoProbe]\nCPUName=Test CPU\nDRAMClock=4800 MHz\nSubBrand=Gaming\nFeatures=0x6\n");
  QuonValueSet node;
  sysinfo::DumpHwInfo(&node);
  EXPECT_EQ(node.Count(), 10u);
  EXPECT_EQ(node.GetStringValue("CPUName"), u"Test CPU");
  EXPECT_EQ(node.GetStringValue("DRAMClock"), u"4800 MHz");
  EXPECT_EQ(node.GetStringValue("SubBrand"), u"Gaming");
  EXPECT_EQ(node.GetStringValue("ProductLine"), u"Motherboard");  // the default
  uint32_t features = 0xdeadbeef;
  ASSERT_TRUE(sysinfo::CallFeatures(&features));
  EXPECT_EQ(features, 6u);
}

TEST(SysInfoBridge, MissingLibraryGivesEmptyTextsAndLogsIt) {
  HwMachine machine;  // nothing placed
  machine_test::LogCapture log;
  QuonValueSet node;
  sysinfo::DumpHwInfo(&node);
  ASSERT_EQ(node.Count(), 10u);
  for (const auto& [key, value] : node.Entries()) EXPECT_EQ(value->Text(), u"") << key;
  EXPECT_FALSE(sysinfo::GetMBSupport(&node));
  QuonValueSet usage;
  sysinfo::GetHardwareUsage(&usage);
  EXPECT_TRUE(usage.Empty());
  EXPECT_TRUE(log.Contains("SysInfoProbe.dll not found"));
  EXPECT_TRUE(log.Contains("GetCPUName Function not found"));
  uint32_t features = 0xdeadbeef;
  EXPECT_FALSE(sysinfo::CallFeatures(&features));
  EXPECT_EQ(features, 0xdeadbeefu);
}

}  // namespace
