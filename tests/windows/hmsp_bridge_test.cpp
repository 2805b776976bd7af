// The hardware-monitor bridge against the hmcore_x64.dll stand-in, and the
// HMSP service check against the machine's "hbComSvc". Each case runs in a
// process of its own (the bridge keeps the library loaded for good).
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "hwinfo/hmsp_bridge.h"
#include "hwinfo_machine.h"

namespace {

using machine_test::Typed;

// A machine with the library in place and the bridge's lines recorded.
struct HmspMachine {
  HwMachine machine;
  RecordingHost host;
  explicit HmspMachine(const std::string& ini) : machine(L"hmcore_x64.dll", "[Hmsp]\n" + ini) {
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
  HmspMachine m("Frequency=Core 0,1200;Core %s 1,200000;Core 2,100000\n");
  QuonValueSet node;
  GetHardwareInfo(1, &node);
  // Only the asked category; the reading over the limit keeps its place in
  // "count", the one at the limit is kept.
  EXPECT_EQ(
      Typed(node),
      "{Frequency:Child={realCount:Int=2, type:Int=1, value0:Child={Id:String=256, "
      "count:Int=0, current:String=1200, hightLimit:String=0, isHidden:String=0, "
      "isMonitoring:String=1, lowLimit:String=0, name:String=Core 0, threshold:String=0, "
      "thresholdHigh:String=0, totalCount:Int=3, type:Int=1, valueAvailable:Int=1, "
      "warningLevel:String=0}, value1:Child={Id:String=258, count:Int=2, current:String=100000, "
      "hightLimit:String=0, isHidden:String=0, isMonitoring:String=1, lowLimit:String=0, "
      "name:String=Core 2, threshold:String=0, thresholdHigh:String=0, totalCount:Int=3, "
      "type:Int=1, valueAvailable:Int=1, warningLevel:String=0}}}");
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
  // "Bad" (-1 reads as 4294967295) and every fan reading are over the limit.
  EXPECT_EQ(Typed(node),
            "{Fan:Child={}, Temperatue:Child={realCount:Int=1, type:Int=3, value0:Child={"
            "Id:String=4294967295, count:Int=0, current:String=40, hightLimit:String=-1, "
            "isHidden:String=1, isMonitoring:String=1, lowLimit:String=-5, name:String=CPU, "
            "threshold:String=-7, thresholdHigh:String=95, totalCount:Int=2, type:Int=3, "
            "valueAvailable:Int=1, warningLevel:String=3}}, WaterFlow:Child={realCount:Int=1, "
            "type:Int=5, value0:Child={Id:String=3584, count:Int=0, current:String=90, "
            "hightLimit:String=300, isHidden:String=0, isMonitoring:String=1, lowLimit:String=0, "
            "name:String=Pump, threshold:String=240, thresholdHigh:String=270, totalCount:Int=1, "
            "type:Int=5, valueAvailable:Int=1, warningLevel:String=0}}}");
}

TEST(HmspBridge, FullReadWritesFiveCategoriesAndProgressOnlyOnce) {
  HmspMachine m(
      "Frequency=Core 0,3600;Core 1,3600;Core 2,3600;Core 3,3600;Core 4,3600\nVoltage=V,1200\n"
      "Temperature=T,40\nFan=F,900\nWaterFlow=\n");
  QuonValueSet first;
  GetHardwareInfo(0, &first);
  for (const char* key : {"Frequency", "Voltage", "Temperatue", "Fan", "WaterFlow"}) {
    EXPECT_NE(first.GetChild(key), nullptr) << key;
  }
  EXPECT_TRUE(first.GetChild("WaterFlow")->Empty());
  EXPECT_EQ(m.Lines(u"[PELORUS][Hmsp] Star GetFrequencyInfo()"), 1u);
  EXPECT_EQ(m.Lines(u"[Pelorus][Hmsp][GetHardwareInfo][Temp], "), 1u);
  // Five readings make a dump longer than 1024 units: the category dump
  // reaches the host whole, the progress line carrying it is refused.
  const std::u16string frequency = first.GetChild("Frequency")->ToString();
  ASSERT_GT(frequency.size(), 1024u);
  EXPECT_TRUE(m.host.HasLog(kOrbLogInfo, u"[Pelorus][Hmsp][GetHardwareInfo][Freq], " + frequency));
  EXPECT_EQ(m.Lines(u"[PELORUS][Hmsp] END GetFrequencyInfo()"), 0u);
  EXPECT_EQ(m.Lines(u" [progressLog] error!!   error = "), 1u);

  QuonValueSet second;
  GetHardwareInfo(0, &second);
  EXPECT_EQ(second.GetChild("Fan")->GetIntValue("realCount"), 1);
  EXPECT_EQ(m.Lines(u"[PELORUS][Hmsp] Star GetFrequencyInfo()"), 1u);
  EXPECT_EQ(m.Lines(u"[Pelorus][Hmsp][GetHardwareInfo][Temp], "), 1u);
  EXPECT_EQ(m.Lines(u"[Pelorus][Hmsp][InitializeHW], hHm is not null"), 1u);
  // Each read balances its COM start: the thread is left in no apartment.
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  CoUninitialize();
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

// The service is started only when its program is signed by the maker and
// is the very file the service is configured to run (its ImagePath).
TEST(HmspService, StoppedServiceIsStartedOnlyWhenItsProgramIsSignedAndConfigured) {
  wchar_t machineProgramFiles[MAX_PATH] = {};
  ASSERT_GT(GetEnvironmentVariableW(L"ProgramFiles", machineProgramFiles, MAX_PATH), 0u);
  HwMachine machine;
  RecordingHost host;
  initialLogParamForHmsp(RecordingHost::LogFunction(), &host, &host);
  StoppedHmspService stopped;

  // No signed program in the HMSP folder: refused, nothing started.
  EXPECT_FALSE(checkIfHmspRun(L"hbComSvc"));
  EXPECT_TRUE(host.HasLog(
      kOrbLogInfo,
      u"[Pelorus][Hmsp][checkIfHmspRun], retry start hbComSvc fail..., signature error!!"));

  // A name other than hbComSvc never starts anything, even with the program in place.
  const std::wstring program = machine.Place(L"hwbridgeComSvc.exe", nullptr, L"HMSP").wstring();
  EXPECT_FALSE(checkIfHmspRun(L"hbcomsvc"));
  EXPECT_FALSE(checkIfHmspRun(L"PelorusNoSuchService"));

  // A signed program, but not the file the service's ImagePath names.
  EXPECT_FALSE(checkIfHmspRun(L"hbComSvc"));
  EXPECT_TRUE(host.HasLog(kOrbLogError,
                          u"[Pelorus][Hmsp][checkIfHmspRun], retry start hbComSvc fail..., the "
                          u"service runs another program than " +
                              std::u16string(program.begin(), program.end())));
  Sleep(500);
  EXPECT_EQ(wintest::ServiceState(L"hbComSvc"), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_FALSE(HasBeenCheckHmspService());

  // The machine's own program: the start is issued, the check does not wait for it.
  wintest::ScopedEnvironment machineFolder(L"ProgramFiles", machineProgramFiles);
  EXPECT_FALSE(checkIfHmspRun(L"hbComSvc"));
  EXPECT_FALSE(IsHmspServiceRun());
  ASSERT_TRUE(wintest::WaitServiceState(L"hbComSvc", SERVICE_RUNNING));
  EXPECT_TRUE(checkIfHmspRun(L"hbComSvc"));
  EXPECT_TRUE(HasBeenCheckHmspService());
  EXPECT_TRUE(IsHmspServiceRun());
}

}  // namespace
