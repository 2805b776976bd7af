// The system-information bridge against the SysInfoProbe.dll stand-in.
#include <gtest/gtest.h>

#include "hwinfo/sysinfo_bridge.h"
#include "hwinfo_machine.h"
#include "pelorus/value_set.h"

namespace {

TEST(SysInfoBridge, UsageKeysPerDiskAndFirstMemoryRecord) {
  HwMachine machine(L"SysInfoProbe.dll",
                    "[SysInfoProbe]\nDisks=C:\\=41.5;D:\\=73.0\nMemoryUsage=63.2\n");
  QuonValueSet node;
  sysinfo::GetHardwareUsage(&node);
  EXPECT_EQ(machine_test::Typed(node),
            "{Disc (C:):Double=41.5, Disc (D:):Double=73, MemoryUsage:Double=63.2}");

  machine.Profile("[SysInfoProbe]\nDisks=\nMemoryUsage=\n");
  QuonValueSet empty;
  sysinfo::GetHardwareUsage(&empty);
  EXPECT_TRUE(empty.Empty());
}

TEST(SysInfoBridge, TextFacts) {
  HwMachine machine(L"SysInfoProbe.dll",
                    "[SysInfoProbe]\nCPUName=Test CPU\nGPUName=Test GPU\nModelName=Test Board\n"
                    "DRAMClock=4800 MHz\nSubBrand=Gaming\n");
  QuonValueSet node;
  sysinfo::DumpHwInfo(&node);
  EXPECT_EQ(node.Count(), 10u);
  EXPECT_EQ(node.GetStringValue("CPUName"), u"Test CPU");
  EXPECT_EQ(node.GetStringValue("GPUName"), u"Test GPU");
  EXPECT_EQ(node.GetStringValue("ModelName"), u"Test Board");
  EXPECT_EQ(node.GetStringValue("DRAMClock"), u"4800 MHz");
  EXPECT_EQ(node.GetStringValue("SubBrand"), u"Gaming");
  EXPECT_EQ(node.GetStringValue("ProductLine"), u"Motherboard");  // the default
}

TEST(SysInfoBridge, MissingLibraryGivesEmptyTextsAndLogsIt) {
  HwMachine machine;  // nothing placed
  machine_test::LogCapture log;
  QuonValueSet node;
  sysinfo::DumpHwInfo(&node);
  ASSERT_EQ(node.Count(), 10u);
  for (const auto& [key, value] : node.Entries()) EXPECT_EQ(value->Text(), u"") << key;
  QuonValueSet usage;
  sysinfo::GetHardwareUsage(&usage);
  EXPECT_TRUE(usage.Empty());
  // The mainboard test (exact and case-sensitive: checked through the start-up
  // checks) says no and writes it.
  EXPECT_FALSE(sysinfo::GetMBSupport(&usage));
  EXPECT_EQ(machine_test::Typed(usage), "{MBSupport:Bool=false}");
  EXPECT_TRUE(log.Contains("SysInfoProbe.dll not found"));
  EXPECT_TRUE(log.Contains("GetCPUName Function not found"));
}

}  // namespace
