// The CPU-Z SDK dump against the cpuidsdk64.dll stand-in. Each case runs in a
// process of its own (the SDK stays loaded after a completed dump).
#include <gtest/gtest.h>

#include "../common/recording_host.h"
#include "hwinfo/cpuz_dump.h"
#include "hwinfo_machine.h"

namespace {

struct CpuzMachine {
  HwMachine machine;
  RecordingHost host;
  explicit CpuzMachine(const std::string& ini) {
    machine.Place(L"cpuidsdk64.dll");
    machine.Profile("[Cpuz]\n" + ini);
    SetCpuzLogSink(RecordingHost::LogFunction(), &host, &host);
  }
};

std::u16string Text(const QuonValueSet* node, const char* key) {
  return node != nullptr ? node->GetStringValue(key) : u"<missing node>";
}

TEST(CpuzDump, TwoMemoryDevicesGiveTwoClockEntries) {
  CpuzMachine m("Devices=Memory|DIMM A;Memory|DIMM B\nMemoryClock=2400\nMemoryType=6\n");
  QuonValueSet all;
  loadCPUzInfo("All", "All", &all);
  const QuonValueSet* clock = all.GetChild("Memory")->GetChild("'ClockSpeed'");
  ASSERT_NE(clock, nullptr);
  EXPECT_EQ(clock->GetIntValue("sensor_num"), 2);
  EXPECT_EQ(Text(clock->GetChild("sensor_className"), "0"), u"memory #0");
  EXPECT_EQ(Text(clock->GetChild("sensor_className"), "1"), u"memory #1");
  const QuonValueSet* second = clock->GetChild("memory #1");
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->GetUIntValue("id"), 1u);
  EXPECT_DOUBLE_EQ(second->GetDoubleValue("value"), 2400.0);
  EXPECT_EQ(second->GetIntValue("type"), 6);
  EXPECT_EQ(all.GetChild("Memory")->GetStringValue("sensorName"), u"DIMM A , DIMM B");
}

TEST(CpuzDump, SameNamedSensorsAndSameClassDevicesGetDistinctKeys) {
  CpuzMachine m(
      "Devices=Mainboard|First Board;Mainboard|Second Board\n"
      "Sensors0=Temperature|CPU|40|20|90;Temperature|CPU|50|20|90;Fan|CPU|1200|0|3000\n"
      "Sensors1=Temperature|CPU|45|20|90\n");
  QuonValueSet all;
  loadCPUzInfo("All", "", &all);
  const QuonValueSet* board = all.GetChild("Mainboard");
  ASSERT_NE(board, nullptr);
  EXPECT_EQ(board->GetStringValue("sensorName"), u"First Board , Second Board");
  EXPECT_EQ(board->GetStringValue("sensorClassName"), u"Mainboard");
  EXPECT_EQ(board->GetIntValue("sensorCount"), 3);  // 2 classes + 1 class
  EXPECT_EQ(board->GetIntValue("LastSingleSensorCount"), 1);

  const QuonValueSet* temps = board->GetChild("Temperature");
  ASSERT_NE(temps, nullptr);
  const QuonValueSet* first = temps->GetChild("'CPU'");
  ASSERT_NE(first, nullptr);
  EXPECT_DOUBLE_EQ(first->GetDoubleValue("value_C"), 40.5);
  EXPECT_DOUBLE_EQ(first->GetDoubleValue("value_F"), 104.0);
  EXPECT_DOUBLE_EQ(temps->GetChild("'CPU' #0-1")->GetDoubleValue("value_C"), 50.5);
  const QuonValueSet* later = temps->GetChild("'CPU' #1");
  ASSERT_NE(later, nullptr);
  EXPECT_EQ(later->GetStringValue("name"), u"CPU #1");
  EXPECT_EQ(temps->GetIntValue("sensor_num"), 3);
  EXPECT_EQ(Text(temps->GetChild("sensor_className"), "1"), u"'CPU' #0-1");
  EXPECT_EQ(Text(temps->GetChild("sensor_className"), "2"), u"'CPU' #1");
  EXPECT_NE(board->GetChild("Fan")->GetChild("'CPU'"), nullptr);  // per class, no clash
}

TEST(CpuzDump, DeviceAndSensorClassFilters) {
  CpuzMachine m(
      "Devices=Processor|Test CPU;Mainboard|Board\n"
      "Sensors0=Temperature|Package|45|30|90;Voltage|VID|1.2|0.8|1.4\n"
      "Sensors1=Temperature|System|36|20|60\n");
  QuonValueSet all;
  loadCPUzInfo("Processor", "Temperature", &all);
  ASSERT_EQ(all.Count(), 1u);
  const QuonValueSet* cpu = all.GetChild("Processor");
  ASSERT_NE(cpu, nullptr);
  EXPECT_NE(cpu->GetChild("Temperature"), nullptr);
  EXPECT_EQ(cpu->GetChild("Voltage"), nullptr);
  EXPECT_EQ(cpu->Count(), 5u);  // the class child and the four device keys
  EXPECT_EQ(cpu->GetStringValue("sensorName"), u"Test CPU");

  QuonValueSet none;
  loadCPUzInfo("processor", "", &none);  // case-sensitive: nothing matches
  EXPECT_TRUE(none.Empty());
}

TEST(CpuzDump, ValueWriterPerSensorClass) {
  CpuzMachine m(
      "Devices=Mainboard|\n"
      "Sensors0=Voltage|V|1.25|0.5|1.5;Fan|Stopped|-1|0|2000;Counter|Opened|3.7|0|9|3;"
      "Pump(PWM)|Pump|55|10|100|55;Power|Idle|-0.4|0|10;Temperature|Probe|-2|4294967296|"
      "4294967296\n");
  QuonValueSet all;
  loadCPUzInfo("All", "All", &all);
  const QuonValueSet* board = all.GetChild("Mainboard");
  ASSERT_NE(board, nullptr);
  EXPECT_EQ(board->GetStringValue("sensorName"), u"Device 0");
  const QuonValueSet* v = board->GetChild("Voltage")->GetChild("'V'");
  EXPECT_DOUBLE_EQ(v->GetDoubleValue("value"), 1.25);
  EXPECT_DOUBLE_EQ(v->GetDoubleValue("minValue"), 0.5);
  EXPECT_DOUBLE_EQ(v->GetDoubleValue("MaxValue"), 1.5);
  const QuonValueSet* fan = board->GetChild("Fan")->GetChild("'Stopped'");
  EXPECT_FALSE(fan->Contains("value"));  // a negative reading is left out
  EXPECT_TRUE(fan->Contains("id"));
  EXPECT_TRUE(board->GetChild("Power")->GetChild("'Idle'")->Contains("value"));  // rounds to 0
  EXPECT_DOUBLE_EQ(board->GetChild("Counter")->GetChild("'Opened'")->GetDoubleValue("value"), 3.0);
  const QuonValueSet* pump = board->GetChild("Pump(PWM)")->GetChild("'Pump'");
  EXPECT_DOUBLE_EQ(pump->GetDoubleValue("value"), 55.0);
  EXPECT_DOUBLE_EQ(pump->GetDoubleValue("MaxValue"), 100.0);
  const QuonValueSet* probe = board->GetChild("Temperature")->GetChild("'Probe'");
  EXPECT_DOUBLE_EQ(probe->GetDoubleValue("value_C"), -1.5);
  EXPECT_FALSE(probe->Contains("minValue_C"));  // minimum at the float limit
}

TEST(CpuzDump, MissingSdkOrFailedInitWritesNothing) {
  {
    HwMachine machine;  // no SDK anywhere
    RecordingHost host;
    SetCpuzLogSink(RecordingHost::LogFunction(), &host, &host);
    QuonValueSet all;
    loadCPUzInfo("All", "All", &all);
    EXPECT_TRUE(all.Empty());
    EXPECT_TRUE(host.HasLog(
        kOrbLogError, u"[PELORUS][Cpuz][InitDll] ******* Error!! Can't load DLL file. *******"));
  }
  CpuzMachine m("InitError=2\nInitExtended=0x1F\n");
  QuonValueSet all;
  loadCPUzInfo("All", "All", &all);
  EXPECT_TRUE(all.Empty());
  EXPECT_TRUE(m.host.HasLog(kOrbLogError, u"Driver error 0x1F."));
  EXPECT_TRUE(m.host.HasLog(kOrbLogError, u"[PELORUS][Cpuz][InitDll] Init result fail! "));
}

// A differently signed SDK in the current directory (the first candidate
// folder) is refused before it is loaded; the plug-in folder's copy is used.
TEST(CpuzDump, PlantedSdkInTheCurrentDirectoryIsNeverLoaded) {
  CpuzMachine m("Devices=Processor|Real SDK\n");
  const std::filesystem::path planted = m.machine.root() / L"cwd";
  std::filesystem::create_directories(planted);
  std::filesystem::copy_file(machine_test::BuiltFile(L"planted_cpuidsdk64.dll"),
                             planted / L"cpuidsdk64.dll");
  const std::filesystem::path marker = m.machine.root() / L"planted-ran";
  SetEnvironmentVariableW(L"PELORUS_PLANTED_MARKER", marker.c_str());
  wchar_t saved[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, saved);
  SetCurrentDirectoryW(planted.c_str());

  QuonValueSet all;
  loadCPUzInfo("All", "All", &all);
  SetCurrentDirectoryW(saved);
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_EQ(Text(all.GetChild("Processor"), "sensorName"), u"Real SDK");
  bool skipped = false;
  for (const RecordedLog& l : m.host.logs()) {
    skipped |= l.text.find(u"[PELORUS][Cpuz][InitDll] skip ") == 0 &&
               l.text.find(u"cwd\\cpuidsdk64.dll") != std::u16string::npos;
  }
  EXPECT_TRUE(skipped);

  // The planted file does run its start-up code when something loads it.
  HMODULE loaded = LoadLibraryW((planted / L"cpuidsdk64.dll").c_str());
  ASSERT_NE(loaded, nullptr);
  FreeLibrary(loaded);
  EXPECT_TRUE(std::filesystem::exists(marker));
  SetEnvironmentVariableW(L"PELORUS_PLANTED_MARKER", nullptr);
}

}  // namespace
