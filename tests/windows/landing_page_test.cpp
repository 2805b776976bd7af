// "GetOPLandingPageInfo" in-process: routing by dllType, the signature check
// per back end, and the HMSP service gate. Each case runs in a process of its
// own (the back ends keep process-wide state).
#include <gtest/gtest.h>

#include "plugin/pelorus.h"
#include "hwinfo_machine.h"

namespace {

struct Landing {
  HwMachine machine;
  RecordingHost host;
  machine_test::PluginPtr plugin{QueryLibrary(0)};
  Landing() { host.Attach(plugin.get()); }

  HRESULT Call(const std::function<void(QuonValueSet&)>& fill, QuonValueSet* response) {
    return machine_test::CallPlugin(plugin.get(), u"GetOPLandingPageInfo", response, fill);
  }
  HRESULT Call(int32_t dllType, const char16_t* dataType, QuonValueSet* response) {
    return Call(
        [&](QuonValueSet& request) {
          request.SetValue("dllType", new QuonValueSet::OrbValue(dllType));
          request.SetStringValue("dataType", std::u16string(dataType));
        },
        response);
  }
  bool Logged(const std::u16string& prefix) const {
    for (const RecordedLog& l : host.logs()) {
      if (l.level == kOrbLogError && l.text.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }
};

TEST(LandingPage, EachBackEndRefusesAMissingOrStrangerSignedLibrary) {
  Landing landing;
  landing.machine.Place(L"cpuidsdk64_other.dll", L"cpuidsdk64.dll");
  const struct {
    int32_t dllType;
    const char16_t* line;
  } cases[] = {
      {0, u"[PELORUS][DoGetOPLandingPageInfo] HMSP IsQuonSignature ERROR"},
      {1,
       u"[PELORUS][DoGetOPLandingPageInfo] [Cpuz] GetSignatureInfo ERROR,signature = Halvard "
       u"Instruments Ltd., serialNumber = "},
      // 3 and 4 take the same check as 2.
      {2, u"[PELORUS][DoGetOPLandingPageInfo] SysInfoProbe.dll IsQuonSignature ERROR"},
  };
  for (const auto& c : cases) {
    QuonValueSet response;
    EXPECT_EQ(landing.Call(c.dllType, u"All", &response), 1) << c.dllType;
    EXPECT_TRUE(response.Empty()) << c.dllType;
    EXPECT_TRUE(landing.Logged(c.line)) << c.dllType;
  }
  // Another dllType reads nothing; a dllType of another kind counts as 0 (HMSP).
  QuonValueSet response;
  EXPECT_EQ(landing.Call(7, u"All", &response), 0);
  EXPECT_TRUE(response.Empty());
  EXPECT_EQ(landing.Call([](QuonValueSet& r) { r.SetStringValue("dllType", std::u16string(u"2")); },
                         &response),
            1);
  EXPECT_TRUE(landing.Logged(u"[PELORUS][DoGetOPLandingPageInfo] HMSP IsQuonSignature ERROR"));
}

TEST(LandingPage, HmspNeedsItsService) {
  Landing landing;
  landing.machine.Place(L"hmcore_x64.dll");
  landing.machine.Place(L"hwbridgeComSvc.exe", nullptr, L"HMSP");
  {
    StoppedHmspService stopped;
    QuonValueSet response;
    EXPECT_EQ(landing.Call(0, u"Temperatue", &response), 1);
    EXPECT_TRUE(response.Empty());
    EXPECT_TRUE(
        landing.Logged(u"[PELORUS][DoGetOPLandingPageInfo]  [HMSP], Hmsp is NOT running..."));
    // The signed program checked here is not the one the service is set up
    // to run (its ImagePath names the machine's copy): it is not started.
    EXPECT_TRUE(
        landing.Logged(u"[Pelorus][Hmsp][checkIfHmspRun], retry start hbComSvc fail..., "
                       u"the service runs another program than "));
    Sleep(500);
    EXPECT_EQ(wintest::ServiceState(L"hbComSvc"), static_cast<DWORD>(SERVICE_STOPPED));
  }
  // (What it then reads: hwinfo e2e, HmspReadsEveryCategoryAndOneByName.)
  QuonValueSet response;
  EXPECT_EQ(landing.Call(0, u"Temperatue", &response), 0);
  // A dataType outside the categories ("Temperature", spelt right) reads nothing.
  QuonValueSet misspelt;
  EXPECT_EQ(landing.Call(0, u"Temperature", &misspelt), 0);
  EXPECT_TRUE(misspelt.Empty());
}

// The SDK's signer may be either of CPUID's names.
TEST(LandingPage, CpuzAcceptsBothCpuidSigners) {
  Landing landing;
  for (const wchar_t* copy : {L"cpuidsdk64.dll", L"cpuidsdk64_cpuid.dll"}) {
    landing.machine.Place(copy, L"cpuidsdk64.dll");
    QuonValueSet response;
    EXPECT_EQ(landing.Call(1, u"All", &response), 0) << copy;
    EXPECT_FALSE(landing.Logged(u"[PELORUS][DoGetOPLandingPageInfo] [Cpuz] GetSignatureInfo"));
  }
}

// Between requests nothing holds a companion open: an installer can rename
// or replace it, and the next request checks what is there then.
TEST(LandingPage, CompanionsAreNotHeldOpenBetweenRequests) {
  Landing landing;
  const std::filesystem::path probe = landing.machine.Place(L"SysInfoProbe.dll");
  landing.machine.Profile("[SysInfoProbe]\nCPUName=First\n");
  for (int32_t dllType : {2, 4}) {
    QuonValueSet response;
    EXPECT_EQ(landing.Call(dllType, u"All", &response), 0);
    std::filesystem::path moved = probe;
    moved += L".moved";
    EXPECT_TRUE(MoveFileW(probe.c_str(), moved.c_str())) << GetLastError();
    EXPECT_TRUE(MoveFileW(moved.c_str(), probe.c_str())) << GetLastError();
  }
  QuonValueSet first;
  ASSERT_EQ(landing.Call(2, u"All", &first), 0);
  EXPECT_EQ(first.GetChild("All")->GetStringValue("CPUName"), u"First");

  // Replaced by a copy signed by another company: refused at the next request.
  landing.machine.Place(L"SysInfoProbe_other.dll", L"SysInfoProbe.dll");
  QuonValueSet refused;
  EXPECT_EQ(landing.Call(2, u"All", &refused), 1);
  EXPECT_TRUE(
      landing.Logged(u"[PELORUS][DoGetOPLandingPageInfo] SysInfoProbe.dll IsQuonSignature"));
}

}  // namespace
