// The fan commands in-process under Wine: SetFanSpeed against the signed
// fan-mode tool (which records the mode it gets in the registry) and the
// "BIOS fan patch" value, the restart commands through the restart seam,
// DoAiControl against the smart-cooling library, and the fan-tool support
// labels from a scripted mainboard-information block.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "acpi_bridge_fixture.h"
#include "frame/pelorus.h"
#include "hwinfo_machine.h"
#include "machine_test_support.h"

namespace {

using namespace machine_test;

constexpr wchar_t kPatchKey[] = L"SOFTWARE\\WOW6432Node\\QUON\\QuonFanService";
constexpr wchar_t kPatchValue[] = L"BIOS fan patch";
constexpr wchar_t kModeValue[] = L"FanMode";  // where FanModeTool.exe records its mode
constexpr DWORD kPatchSentinel = 7;

// A Pelorus object whose companions come from the case's plug-in folder
// (ProgramFiles points there), with a recording host attached.
class FanCommandsTest : public FanServiceMachineTest {
 protected:
  FanCommandsTest() { m_host.Attach(m_plugin.get()); }

  HRESULT Call(const char16_t* command, const std::function<void(QuonValueSet&)>& fill) {
    return CallPlugin(m_plugin.get(), command, &m_response, fill);
  }
  // A null dataType sends the request without its "FanSpeedStatus" child.
  HRESULT SetFanSpeed(const char16_t* dataType, const char16_t* dataParam) {
    return Call(u"SetFanSpeed", [&](QuonValueSet& request) {
      if (dataType == nullptr) return;
      QuonValueSet* status = request.CreateChild("FanSpeedStatus");
      status->SetStringValue("dataType", std::u16string(dataType));
      status->SetStringValue("dataParam", std::u16string(dataParam));
    });
  }
  HRESULT AiControl(const char16_t* subCommand, int32_t itemType, int32_t itemValue) {
    return Call(u"DoAiControl", [&](QuonValueSet& request) {
      request.SetStringValue("subCommand", std::u16string(subCommand));
      request.SetValue("itemType", new QuonValueSet::OrbValue(itemType));
      request.SetValue("itemValue", new QuonValueSet::OrbValue(itemValue));
    });
  }

  HwMachine m_machine;
  PluginPtr m_plugin{QueryLibrary(0)};
  RecordingHost m_host;
  QuonValueSet m_response;
};

// --- SetFanSpeed -----------------------------------------------------------------------

struct FanSpeedCase {
  const char* name;
  const char16_t* dataType;
  const char16_t* dataParam;
  const wchar_t* toolExitCode;  // FANMODETOOL_EXIT_CODE, "" for the tool's own 0
  int64_t mode;                 // what the tool recorded; -1: it did not run
  HRESULT status;
  const char16_t* line;  // the command's one host log line: the speed, or the caught exception
};

void PrintTo(const FanSpeedCase& c, std::ostream* out) {
  *out << c.name;
}

// The conversion of "dataParam" itself is checked natively (DecimalToInt),
// a FanSpeed run of exit code 0 through orbhost (SetFanSpeedRunsTheInstalledTool).
// clang-format off
const FanSpeedCase kFanSpeedCases[] = {
  {"OtherDataType",     u"Silent",   u"2",   L"",  2,  0, nullptr},
  {"ToolEndsWithCode2", u"FanSpeed", u"1",   L"2", 1,  1, u"[PELORUS][DoSetFanSpeed] FanSpeed = 1"},
  {"NotANumber",        u"FanSpeed", u"abc", L"",  -1, 0,
   u"[PELORUS][DoSetFanSpeed] error = invalid stoi argument"},
  // No "FanSpeedStatus" child: every value reads as empty.
  {"NoFanSpeedStatus",  nullptr,     nullptr, L"", -1, 0,
   u"[PELORUS][DoSetFanSpeed] error = invalid stoi argument"},
};
// clang-format on

class SetFanSpeedCases : public FanCommandsTest,
                         public ::testing::WithParamInterface<FanSpeedCase> {};

TEST_P(SetFanSpeedCases, RunsTheToolResetsThePatchAndEchoes) {
  const FanSpeedCase& c = GetParam();
  m_machine.Place(L"FanModeTool.exe");
  SetDword(kPatchKey, kPatchValue, kPatchSentinel);
  ScopedEnvironment exitCode(L"FANMODETOOL_EXIT_CODE", c.toolExitCode);

  EXPECT_EQ(SetFanSpeed(c.dataType, c.dataParam), c.status);

  const bool ran = c.mode >= 0;
  EXPECT_EQ(GetDword(kFanKey, kModeValue, k32), c.mode);
  EXPECT_EQ(GetDword(kPatchKey, kPatchValue), ran ? 0 : int64_t{kPatchSentinel});
  if (ran) {
    EXPECT_EQ(m_response.GetStringValue("FanStatus"), c.dataParam);
  } else {
    EXPECT_TRUE(m_response.Empty());
  }
  size_t lines = 0;
  for (const RecordedLog& log : m_host.logs())
    lines += log.text.find(u"[DoSetFanSpeed]") != std::u16string::npos ? 1 : 0;
  EXPECT_EQ(lines, c.line != nullptr ? 1u : 0u);
  if (c.line != nullptr) {
    EXPECT_TRUE(m_host.HasLog(ran ? kOrbLogInfo : kOrbLogError, c.line));
  }
}

INSTANTIATE_TEST_SUITE_P(Fan, SetFanSpeedCases, ::testing::ValuesIn(kFanSpeedCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FanCommandsTest, UnsignedCompanionsAreRefused) {
  m_machine.Place(L"FanModeTool_unsigned.exe", L"FanModeTool.exe");
  m_machine.Place(L"SmartCoolLib_unsigned.dll", L"SmartCoolLib.dll");
  SetDword(kPatchKey, kPatchValue, kPatchSentinel);

  EXPECT_EQ(SetFanSpeed(u"FanSpeed", u"2"), 1);
  EXPECT_TRUE(m_response.Empty());
  EXPECT_EQ(GetDword(kFanKey, kModeValue, k32), -1);
  EXPECT_EQ(GetDword(kPatchKey, kPatchValue), kPatchSentinel);
  EXPECT_TRUE(m_host.HasLog(kOrbLogError,
                            u"[PELORUS][DoSetFanSpeed] FanModeTool.exe IsQuonSignature ERROR"));

  EXPECT_EQ(AiControl(u"GetItem", 1, 2), 1);
  EXPECT_TRUE(m_response.Empty());
  EXPECT_TRUE(
      m_host.HasLog(kOrbLogError, u"[PELORUS][DoAiControl] AI Control IsQuonSignature ERROR"));
}

// --- DoAiControl -------------------------------------------------------------------------

TEST_F(FanCommandsTest, AiControlDrivesTheSmartCoolingLibrary) {
  m_machine.Place(L"SmartCoolLib.dll");

  EXPECT_EQ(AiControl(u"CheckSupport", 1, 0), 0);
  EXPECT_EQ(Typed(m_response), "{result:Bool=true}");
  EXPECT_EQ(AiControl(u"CheckSupport", 9, 0), 0);
  EXPECT_EQ(Typed(m_response), "{result:Bool=false}");
  EXPECT_EQ(AiControl(u"SetItem", 1, 2), 0);
  EXPECT_EQ(Typed(m_response), "{result:Bool=true}");
  EXPECT_EQ(AiControl(u"GetItem", 1, 0), 0);
  EXPECT_EQ(Typed(m_response), "{itemValue:Int=2}");

  // Case counts; an unknown sub-command answers nothing.
  EXPECT_EQ(AiControl(u"getitem", 1, 0), 0);
  EXPECT_TRUE(m_response.Empty());
  EXPECT_TRUE(m_host.HasLog(
      kOrbLogInfo,
      u"[PELORUS][DoAiControl]  [AiControl], functionType = getitem, itemType= 1, itemValue= 0"));
}

TEST_F(FanCommandsTest, AiControlGetItemAnswersTheRequestsValueWhenTheLibraryCannotLoad) {
  // Signed by the maker, so the check passes, but its entry point refuses to load.
  m_machine.Place(L"refusing_dll_quon.dll", L"SmartCoolLib.dll");

  EXPECT_EQ(AiControl(u"GetItem", 1, 37), 0);
  EXPECT_EQ(Typed(m_response), "{itemValue:Int=37}");
  EXPECT_EQ(AiControl(u"SetItem", 1, 2), 0);
  EXPECT_EQ(Typed(m_response), "{result:Bool=false}");
}

// --- Restarting ------------------------------------------------------------------------

struct RestartRequest {
  UINT flags;
  DWORD reason;
};
std::vector<RestartRequest> g_restarts;
BOOL WINAPI RecordRestart(UINT flags, DWORD reason) {
  g_restarts.push_back({flags, reason});
  return TRUE;
}

TEST_F(FanCommandsTest, BothRestartCommandsRequestAForcedRestart) {
  ScopedSeam<decltype(PlatformSeams::exitWindowsEx)> seam(&PlatformSeams::exitWindowsEx,
                                                          &RecordRestart);
  g_restarts.clear();
  m_machine.Place(L"SmartCoolLib.dll");

  EXPECT_EQ(Call(u"DoTesseraReboot",
                 [](QuonValueSet& request) {
                   request.CreateChild("TesseraReboot")
                       ->SetStringValue("command", std::u16string(u"cancel"));
                 }),
            0);
  EXPECT_TRUE(m_response.Empty());
  EXPECT_EQ(AiControl(u"Reboot", 0, 0), 0);
  EXPECT_TRUE(m_response.Empty());

  ASSERT_EQ(g_restarts.size(), 2u);
  for (const RestartRequest& r : g_restarts) {
    EXPECT_EQ(r.flags, UINT{EWX_REBOOT | EWX_FORCE});
    EXPECT_EQ(r.reason, 0x80020003u);
  }
  EXPECT_TRUE(m_host.HasLog(kOrbLogInfo, u"[DoTesseraReboot], After reboot command, result = 1"));
  EXPECT_TRUE(m_host.HasLog(
      kOrbLogInfo, u"[PELORUS][DoAiControl]  [Reboot], === END reboot command, result = 1"));
}

// --- Fan-tool support -------------------------------------------------------------------

struct FanPilotCase {
  const char* name;
  const char* productLine;
  const char* mainboard;  // the bridge's mainboard-information block, as profile elements
  const char16_t* plugin;
  const char16_t* dashboard;
};

void PrintTo(const FanPilotCase& c, std::ostream* out) {
  *out << c.name;
}

// clang-format off
const FanPilotCase kFanPilotCases[] = {
  {"FanPilot2PlusInCK",  "Motherboard", R"([1, "PRB-01", "0x00001700"])",
   u"Fan Pilot 2+", u"Fan Pilot 2+  (in CK)"},
  {"FanPilot2PlusInTS3", "Motherboard", R"([1, "PRB-01", "0x00000700"])",
   u"No Support", u"Fan Pilot 2+ (in TS3)"},
  {"TwoElements",        "Motherboard", R"([1, "0x00001700"])",
   u"No Support", u"Fan Pilot (in TS3)"},
  {"NotAMotherboard",    "Desktop",     R"([1, "PRB-01", "0x00001700"])",
   u"No Support", u"Fan Pilot (in TS3)"},
};
// clang-format on

// The board as the system-information library and the ACPI bridge describe it.
class FanPilotSupport : public ::testing::TestWithParam<FanPilotCase> {
 protected:
  FanPilotSupport() { m_host.Attach(m_plugin.get()); }

  std::u16string Label(const char16_t* command) {
    QuonValueSet response;
    EXPECT_EQ(CallPlugin(m_plugin.get(), command, &response,
                         [](QuonValueSet& request) {
                           request.CreateChild("MBInfo")->SetStringValue("command",
                                                                         std::u16string(u"fan"));
                         }),
              0);
    EXPECT_EQ(response.Count(), 1u);
    return response.GetStringValue("IsMBSupported");
  }

  HwMachine m_machine{L"SysInfoProbe.dll",
                      std::string("[SysInfoProbe]\nProductLine=") + GetParam().productLine + "\n"};
  acpi_test::ScopedFirmware m_firmware{std::string(R"({"Mainboard": )") + GetParam().mainboard +
                                       "}"};
  PluginPtr m_plugin{QueryLibrary(0)};
  RecordingHost m_host;
};

TEST_P(FanPilotSupport, LabelsFollowTheFeatureWord) {
  const FanPilotCase& c = GetParam();
  EXPECT_EQ(Label(u"GetTesseraPluginInfo"), c.plugin);
  EXPECT_EQ(Label(u"GetTesseraPluginInfoForDashbaord"), c.dashboard);
  const std::u16string supported =
      std::u16string(c.dashboard).find(u"Fan Pilot") == 0 ? u"true" : u"false";
  EXPECT_TRUE(m_host.HasLog(
      kOrbLogInfo, u"[PELORUS][DoGetTesseraPluginInfoForDashbaord] isSupportFanControl = " +
                       supported + u", supportModel: " + c.dashboard));
}

INSTANTIATE_TEST_SUITE_P(Fan, FanPilotSupport, ::testing::ValuesIn(kFanPilotCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
