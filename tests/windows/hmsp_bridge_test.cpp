// The hardware-monitor bridge against the hmcore_x64.dll stand-in, and the
// HMSP service check against the machine's "hbComSvc". Each case runs in a
// process of its own (the bridge keeps the library loaded for good).
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "../common/recording_host.h"
#include "hwinfo/hmsp_bridge.h"
#include "hwinfo_machine.h"

namespace {

// A machine with the library in place and the bridge's lines recorded.
struct HmspMachine {
  HwMachine machine;
  RecordingHost host;
  HmspMachine(const std::string& ini) {
    machine.Place(L"hmcore_x64.dll");
    machine.Profile("[Hmsp]\n" + ini);
    initialLogParamForHmsp(RecordingHost::LogFunction(), &host, &host);
  }
  size_t Lines(const std::u16string& prefix) const {
    size_t n = 0;
    for (const RecordedLog& l : host.logs()) {
      EXPECT_EQ(l.format, u"%s");  // texts travel as arguments only
      if (l.text.rfind(prefix, 0) == 0) ++n;
    }
    return n;
  }
};

TEST(HmspBridge, SkippedReadingsKeepTheirArrayPosition) {
  HmspMachine m("Frequency=Core 0,1200;Core %s 1,200000;Core 2,3400\n");
  QuonValueSet node;
  GetHardwareInfo(1, &node);
  const QuonValueSet* freq = node.GetChild("Frequency");
  ASSERT_NE(freq, nullptr);
  EXPECT_EQ(freq->GetIntValue("type"), 1);
  EXPECT_EQ(freq->GetIntValue("realCount"), 2);
  EXPECT_FALSE(freq->Contains("value2"));
  const struct {
    const char* key;
    int32_t count;
    const char16_t* current;
    const char16_t* name;
  } expected[] = {{"value0", 0, u"1200", u"Core 0"}, {"value1", 2, u"3400", u"Core 2"}};
  for (const auto& e : expected) {
    const QuonValueSet* v = freq->GetChild(e.key);
    ASSERT_NE(v, nullptr) << e.key;
    EXPECT_EQ(v->GetIntValue("count"), e.count);
    EXPECT_EQ(v->GetIntValue("totalCount"), 3);
    EXPECT_EQ(v->GetStringValue("current"), e.current);
    EXPECT_EQ(v->GetStringValue("name"), e.name);
    EXPECT_EQ(v->GetIntValue("valueAvailable"), 1);
  }
  EXPECT_EQ(node.Count(), 1u);  // only the asked category
  EXPECT_EQ(m.Lines(u"[PELORUS][Hmsp] continue, > 100000,  DataName=Core %s 1, Current = 200000"),
            1u);
}

TEST(HmspBridge, SignedAndUnsignedFieldsAndWaterFlowType) {
  HmspMachine m(
      "Temperature=CPU,40,-1,-5,-7,95,3,4294967295,1,1;Bad,-1\n"
      "WaterFlow=Pump,90,300,0\n"
      "Fan=Dead,100001;Stopped,4294967295\n");
  QuonValueSet node;
  GetHardwareInfo(3, &node);
  GetHardwareInfo(5, &node);
  GetHardwareInfo(4, &node);
  const QuonValueSet* t = node.GetChild("Temperatue")->GetChild("value0");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(node.GetChild("Temperatue")->GetIntValue("realCount"), 1);  // -1 reads as 4294967295
  EXPECT_EQ(t->GetStringValue("hightLimit"), u"-1");
  EXPECT_EQ(t->GetStringValue("lowLimit"), u"-5");
  EXPECT_EQ(t->GetStringValue("threshold"), u"-7");
  EXPECT_EQ(t->GetStringValue("thresholdHigh"), u"95");
  EXPECT_EQ(t->GetStringValue("warningLevel"), u"3");
  EXPECT_EQ(t->GetStringValue("Id"), u"4294967295");
  EXPECT_EQ(t->GetStringValue("isMonitoring"), u"1");
  EXPECT_EQ(t->GetStringValue("isHidden"), u"1");
  EXPECT_EQ(t->GetIntValue("type"), 3);

  const QuonValueSet* water = node.GetChild("WaterFlow");
  EXPECT_EQ(water->GetIntValue("type"), 5);
  EXPECT_EQ(water->GetChild("value0")->GetIntValue("type"), 5);
  EXPECT_EQ(water->GetChild("value0")->GetStringValue("current"), u"90");

  EXPECT_TRUE(node.GetChild("Fan")->Empty());  // every reading over the limit
}

TEST(HmspBridge, FullReadWritesFiveCategoriesAndProgressOnlyOnce) {
  HmspMachine m("Frequency=C,3600\nVoltage=V,1200\nTemperature=T,40\nFan=F,900\nWaterFlow=\n");
  QuonValueSet first;
  GetHardwareInfo(0, &first);
  for (const char* key : {"Frequency", "Voltage", "Temperatue", "Fan", "WaterFlow"}) {
    EXPECT_NE(first.GetChild(key), nullptr) << key;
  }
  EXPECT_TRUE(first.GetChild("WaterFlow")->Empty());
  EXPECT_EQ(m.Lines(u"[PELORUS][Hmsp] Star GetFrequencyInfo()"), 1u);
  EXPECT_EQ(m.Lines(u"[Pelorus][Hmsp][GetHardwareInfo][Temp], "), 1u);

  QuonValueSet second;
  GetHardwareInfo(0, &second);
  EXPECT_EQ(second.GetChild("Fan")->GetIntValue("realCount"), 1);
  EXPECT_EQ(m.Lines(u"[PELORUS][Hmsp] Star GetFrequencyInfo()"), 1u);
  EXPECT_EQ(m.Lines(u"[Pelorus][Hmsp][GetHardwareInfo][Temp], "), 1u);
  EXPECT_EQ(m.Lines(u"[Pelorus][Hmsp][InitializeHW], hHm is not null"), 1u);
}

TEST(HmspBridge, MissingLibraryWritesNothing) {
  HwMachine machine;
  RecordingHost host;
  initialLogParamForHmsp(RecordingHost::LogFunction(), &host, &host);
  QuonValueSet node;
  GetHardwareInfo(0, &node);
  EXPECT_TRUE(node.Empty());
  EXPECT_TRUE(
      host.HasLog(kOrbLogError,
                  u"[Pelorus][Hmsp][InitializeHW], loadLibrary fail, 'hHm' instance is null ..."));
}

// --- The service check -------------------------------------------------------------

TEST(HmspService, StoppedServiceIsStartedOnlyWhenItsProgramIsSigned) {
  HwMachine machine;
  RecordingHost host;
  initialLogParamForHmsp(RecordingHost::LogFunction(), &host, &host);
  StoppedHmspService stopped;

  // No signed program in the HMSP folder: refused, nothing started.
  EXPECT_FALSE(checkIfHmspRun(L"hbComSvc"));
  EXPECT_TRUE(host.HasLog(
      kOrbLogInfo,
      u"[Pelorus][Hmsp][checkIfHmspRun], retry start hbComSvc fail..., signature error!!"));
  Sleep(500);
  EXPECT_EQ(ServiceState(L"hbComSvc"), static_cast<DWORD>(SERVICE_STOPPED));

  // A name other than hbComSvc never starts anything, even with the program in place.
  machine.Place(L"hwbridgeComSvc.exe", nullptr, L"HMSP");
  EXPECT_FALSE(checkIfHmspRun(L"hbcomsvc"));
  EXPECT_FALSE(checkIfHmspRun(L"PelorusNoSuchService"));
  Sleep(500);
  EXPECT_EQ(ServiceState(L"hbComSvc"), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_FALSE(HasBeenCheckHmspService());

  // Signed program: the start is issued, the check does not wait for it.
  EXPECT_FALSE(checkIfHmspRun(L"hbComSvc"));
  EXPECT_FALSE(IsHmspServiceRun());
  ASSERT_TRUE(WaitForState(L"hbComSvc", SERVICE_RUNNING));
  EXPECT_TRUE(checkIfHmspRun(L"hbComSvc"));
  EXPECT_TRUE(HasBeenCheckHmspService());
  EXPECT_TRUE(IsHmspServiceRun());
}

}  // namespace

namespace {

// Another module of the product calls the exports of Pelorus.dll directly,
// with a tree node it created and later destroys itself.
TEST(HmspExports, FillANodeTheCallingModuleOwns) {
  HmspMachine m("Fan=CPU Fan,1150,3000,0;Rear,900\n");
  HMODULE dll = LoadLibraryW(machine_test::BuiltFile(L"Pelorus.dll").c_str());
  ASSERT_NE(dll, nullptr);
  auto get = reinterpret_cast<void (*)(uint32_t, QuonValueSet*)>(
      reinterpret_cast<void*>(GetProcAddress(dll, "GetHardwareInfo")));
  auto hasBeenChecked = reinterpret_cast<bool (*)()>(
      reinterpret_cast<void*>(GetProcAddress(dll, "HasBeenCheckHmspService")));
  auto check = reinterpret_cast<bool (*)(const wchar_t*)>(
      reinterpret_cast<void*>(GetProcAddress(dll, "checkIfHmspRun")));
  auto isRunning = reinterpret_cast<bool (*)()>(
      reinterpret_cast<void*>(GetProcAddress(dll, "IsHmspServiceRun")));
  ASSERT_TRUE(get && hasBeenChecked && check && isRunning &&
              GetProcAddress(dll, "initialLogParamForHmsp"));

  auto* node = new QuonValueSet();
  get(4, node);
  get(99, node);  // an unknown category reads nothing
  ASSERT_EQ(node->Count(), 1u);
  const QuonValueSet* fan = node->GetChild("Fan");
  ASSERT_NE(fan, nullptr);
  EXPECT_EQ(fan->GetIntValue("realCount"), 2);
  EXPECT_EQ(fan->GetChild("value1")->GetStringValue("name"), u"Rear");
  delete node;

  EXPECT_FALSE(hasBeenChecked());
  EXPECT_TRUE(check(L"hbComSvc"));  // the machine's service runs
  EXPECT_TRUE(hasBeenChecked());
  EXPECT_TRUE(isRunning());
  FreeLibrary(dll);
}

}  // namespace
