// The CPU-Z SDK dump against the cpuidsdk64.dll stand-in. Each case runs in a
// process of its own (the SDK stays loaded after a completed dump).
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "hwinfo/cpuz_dump.h"
#include "hwinfo_machine.h"

namespace {

using machine_test::Typed;

struct CpuzMachine {
  HwMachine machine;
  RecordingHost host;
  QuonValueSet all;
  explicit CpuzMachine(const std::string& ini) : machine(L"cpuidsdk64.dll", "[Cpuz]\n" + ini) {
    SetCpuzLogSink(RecordingHost::LogFunction(), &host, &host);
  }
  // Dumps the devices and sensor classes asked for into `all`; the device
  // class node `key` (null when absent).
  const QuonValueSet* Load(const char* device, const char* sensorClass, const char* key) {
    loadCPUzInfo(device, sensorClass, &all);
    return all.GetChild(key);
  }
};

std::u16string Text(const QuonValueSet* node, const char* key) {
  return node != nullptr ? node->GetStringValue(key) : u"<missing node>";
}
// A node with every kind, without its "id".
std::string Values(const QuonValueSet* node) {
  return node != nullptr ? std::regex_replace(Typed(*node), std::regex("id:UInt=\\d+, "), "")
                         : "<missing node>";
}

TEST(CpuzDump, TwoMemoryDevicesGiveTwoClockEntries) {
  CpuzMachine m("Devices=Memory|DIMM A;Memory|DIMM B\nMemoryClock=2400\nMemoryType=6\n");
  const QuonValueSet* memory = m.Load("All", "All", "Memory");
  ASSERT_NE(memory, nullptr);
  EXPECT_EQ(memory->GetStringValue("sensorName"), u"DIMM A , DIMM B");
  const QuonValueSet* clock = memory->GetChild("'ClockSpeed'");
  ASSERT_NE(clock, nullptr);
  EXPECT_EQ(clock->GetIntValue("sensor_num"), 2);
  EXPECT_EQ(Values(clock->GetChild("sensor_className")),
            "{0:String=memory #0, 1:String=memory #1}");
  EXPECT_EQ(Values(clock->GetChild("memory #1")),
            "{name:String=memory #1, type:Int=6, value:Double=2400}");
  EXPECT_EQ(clock->GetChild("memory #1")->GetUIntValue("id"), 1u);
}

TEST(CpuzDump, SameNamedSensorsAndSameClassDevicesGetDistinctKeys) {
  CpuzMachine m(
      "Devices=Mainboard|First Board;Mainboard|Second Board\n"
      "Sensors0=Temperature|CPU|40|20|90;Temperature|CPU|50|20|90;Fan|CPU|1200|0|3000\n"
      "Sensors1=Temperature|CPU|45|20|90\n");
  const QuonValueSet* board = m.Load("All", "", "Mainboard");
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
  const QuonValueSet* cpu = m.Load("Processor", "Temperature", "Processor");
  ASSERT_EQ(m.all.Count(), 1u);
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
  const QuonValueSet* board = m.Load("All", "All", "Mainboard");
  ASSERT_NE(board, nullptr);
  EXPECT_EQ(board->GetStringValue("sensorName"), u"Device 0");
  auto sensor = [board](const char* sensorClass, const char* name) {
    const QuonValueSet* node = board->GetChild(sensorClass);
    return node != nullptr ? node->GetChild(name) : nullptr;
  };
  EXPECT_EQ(Values(sensor("Voltage", "'V'")),
            "{MaxValue:Double=1.5, minValue:Double=0.5, name:String=V, value:Double=1.25}");
  // A negative reading is left out.
  EXPECT_EQ(Values(sensor("Fan", "'Stopped'")), "{name:String=Stopped}");
  EXPECT_TRUE(sensor("Power", "'Idle'")->Contains("value"));  // rounds to 0
  EXPECT_EQ(Values(sensor("Counter", "'Opened'")), "{name:String=Opened, value:Double=3}");
  EXPECT_EQ(Values(sensor("Pump(PWM)", "'Pump'")),
            "{MaxValue:Double=100, minValue:Double=10, name:String=Pump, value:Double=55}");
  const QuonValueSet* probe = sensor("Temperature", "'Probe'");
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
  m.Load("All", "All", "Processor");
  EXPECT_TRUE(m.all.Empty());
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
  wintest::ScopedEnvironment markerVariable(L"PELORUS_PLANTED_MARKER", marker.wstring());
  wchar_t saved[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, saved);
  SetCurrentDirectoryW(planted.c_str());

  const QuonValueSet* cpu = m.Load("All", "All", "Processor");
  SetCurrentDirectoryW(saved);
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_EQ(Text(cpu, "sensorName"), u"Real SDK");
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
}

}  // namespace
