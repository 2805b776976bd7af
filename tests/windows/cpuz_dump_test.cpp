// The CPU-Z SDK dump against the cpuidsdk64.dll stand-in. Each case runs in a
// process of its own (the SDK stays loaded after a completed dump).
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>

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

// Lines that start with `prefix`.
size_t Lines(const RecordingHost& host, const std::u16string& prefix) {
  size_t n = 0;
  for (const RecordedLog& l : host.logs()) n += l.text.rfind(prefix, 0) == 0 ? 1 : 0;
  return n;
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
  EXPECT_EQ(Typed(*memory),
            "{'ClockSpeed':Child={memory #0:Child={id:UInt=0, name:String=memory #0, type:Int=6, "
            "value:Double=2400}, memory #1:Child={id:UInt=1, name:String=memory #1, type:Int=6, "
            "value:Double=2400}, sensor_className:Child={0:String=memory #0, 1:String=memory #1}, "
            "sensor_num:Int=2}, LastSingleSensorCount:Int=0, sensorClassName:String=Memory, "
            "sensorCount:Int=0, sensorName:String=DIMM A , DIMM B}");
  // The SDK's machine-wide lock is free again for other programs.
  std::thread([] {
    unique_handle lock(OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, L"Global\\cpuzlock"));
    EXPECT_EQ(WaitForSingleObject(lock.get(), 5000), WAIT_OBJECT_0);
    ReleaseMutex(lock.get());
  }).join();
}

TEST(CpuzDump, SameNamedSensorsAndSameClassDevicesGetDistinctKeys) {
  CpuzMachine m(
      "Devices=Mainboard|First Board;Mainboard|Second Board\n"
      "Sensors0=Temperature|CPU|40|20|90;Temperature|CPU|50|20|90;Fan|CPU|1200|0|3000\n"
      "Sensors1=Temperature|CPU|45|20|90\n");
  // Two classes in the first device, one in the second; the same name within
  // a class gets a counted key, the second device's a numbered one.
  EXPECT_EQ(Values(m.Load("All", "", "Mainboard")),
            "{Fan:Child={'CPU':Child={MaxValue:Double=3000, minValue:Double=0, name:String=CPU, "
            "value:Double=1200}, sensor_className:Child={0:String='CPU'}, sensor_num:Int=1}, "
            "LastSingleSensorCount:Int=1, Temperature:Child={'CPU':Child={MaxValue_C:Double=90.5, "
            "MaxValue_F:Double=194, minValue_C:Double=20.5, minValue_F:Double=68, name:String=CPU, "
            "value_C:Double=40.5, value_F:Double=104}, 'CPU' #0-1:Child={MaxValue_C:Double=90.5, "
            "MaxValue_F:Double=194, minValue_C:Double=20.5, minValue_F:Double=68, name:String=CPU, "
            "value_C:Double=50.5, value_F:Double=122}, 'CPU' #1:Child={MaxValue_C:Double=90.5, "
            "MaxValue_F:Double=194, minValue_C:Double=20.5, minValue_F:Double=68, name:String=CPU "
            "#1, value_C:Double=45.5, value_F:Double=113}, sensor_className:Child={0:String='CPU', "
            "1:String='CPU' #0-1, 2:String='CPU' #1}, sensor_num:Int=3}, "
            "sensorClassName:String=Mainboard, sensorCount:Int=3, sensorName:String=First Board , "
            "Second Board}");
}

TEST(CpuzDump, DeviceAndSensorClassFilters) {
  CpuzMachine m(
      "Devices=Processor|Test CPU;Mainboard|Board\n"
      "Sensors0=Temperature|Package|45|30|90;Voltage|VID|1.2|0.8|1.4\n"
      "Sensors1=Temperature|System|36|20|60\n");
  EXPECT_EQ(
      Values(m.Load("Processor", "Temperature", "Processor")),
      "{LastSingleSensorCount:Int=1, Temperature:Child={'Package':Child={MaxValue_C:Double="
      "90.5, MaxValue_F:Double=194, minValue_C:Double=30.5, minValue_F:Double=86, "
      "name:String=Package, value_C:Double=45.5, value_F:Double=113}, sensor_className:Child={"
      "0:String='Package'}, sensor_num:Int=1}, sensorClassName:String=Processor, "
      "sensorCount:Int=1, sensorName:String=Test CPU}");
  EXPECT_EQ(m.all.Count(), 1u);

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
  // A negative fan reading is left out, the power reading rounds to 0 and is
  // kept, the temperature's minimum at the float limit leaves out the limits.
  // The readings are floats, widened.
  EXPECT_EQ(
      Values(m.Load("All", "All", "Mainboard")),
      "{Counter:Child={'Opened':Child={name:String=Opened, value:Double=3}, "
      "sensor_className:Child={0:String='Opened'}, sensor_num:Int=1}, "
      "Fan:Child={'Stopped':Child={name:String=Stopped}, sensor_className:Child={0:String="
      "'Stopped'}, sensor_num:Int=1}, LastSingleSensorCount:Int=6, Power:Child={'Idle':Child={"
      "MaxValue:Double=10, minValue:Double=0, name:String=Idle, value:Double=-0.400000005960464}"
      ", sensor_className:Child={0:String='Idle'}, sensor_num:Int=1}, Pump(PWM):Child={'Pump':"
      "Child={MaxValue:Double=100, minValue:Double=10, name:String=Pump, value:Double=55}, "
      "sensor_className:Child={0:String='Pump'}, sensor_num:Int=1}, Temperature:Child={'Probe':"
      "Child={name:String=Probe, value_C:Double=-1.5, value_F:Double=28.3999996185303}, "
      "sensor_className:Child={0:String='Probe'}, sensor_num:Int=1}, Voltage:Child={'V':Child={"
      "MaxValue:Double=1.5, minValue:Double=0.5, name:String=V, value:Double=1.25}, "
      "sensor_className:Child={0:String='V'}, sensor_num:Int=1}, sensorClassName:String="
      "Mainboard, sensorCount:Int=6, sensorName:String=Device 0}");
}

// The version, device count and device list are written on every dump, the
// list whole however long; the "process" lines only on the first.
TEST(CpuzDump, DeviceLinesOnEveryDumpProgressOnlyOnTheFirst) {
  std::string devices;
  std::u16string set;
  for (int d = 0; d < 120; ++d) {
    devices += (d == 0 ? "" : ";") + std::string("Mainboard|Board ") + std::to_string(d);
    set += (d == 0 ? u"" : u", ") + std::u16string(u"Mainboard");
  }
  CpuzMachine m("Devices=" + devices + "\n");
  for (int run = 0; run < 2; ++run) {
    QuonValueSet all;
    loadCPUzInfo("All", "All", &all);
    ASSERT_NE(all.GetChild("Mainboard"), nullptr);
  }
  EXPECT_EQ(Lines(m.host, u"[PELORUS][HWMonitor] CPUZ SDK version: 0x"), 2u);
  EXPECT_EQ(Lines(m.host, u"[PELORUS][HWMonitor] NumberOfDevices = 120"), 2u);
  EXPECT_EQ(Lines(m.host, u"[PELORUS][HWMonitor] The Devices Set is = " + set), 2u);
  EXPECT_EQ(Lines(m.host, u"[PELORUS][HWMonitor] process 7-1, "), 1u);
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
  ASSERT_NE(cpu, nullptr);
  EXPECT_EQ(cpu->GetStringValue("sensorName"), u"Real SDK");
  bool skipped = false;
  for (const RecordedLog& l : m.host.logs()) {
    skipped |= l.text.find(u"[PELORUS][Cpuz][InitDll] skip ") == 0 &&
               l.text.find(u"cwd\\cpuidsdk64.dll") != std::u16string::npos;
  }
  EXPECT_TRUE(skipped);
}

}  // namespace
