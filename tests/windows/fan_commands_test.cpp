// The fan commands in-process under Wine: SetFanSpeed against the signed
// fan-mode tool (which records the mode it gets in the registry) and the
// "BIOS fan patch" value, the restart commands through the restart seam,
// DoAiControl against the smart-cooling library, and the fan-tool support
// labels from a scripted mainboard-information block.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "../common/recording_host.h"
#include "acpi_bridge_fixture.h"
#include "frame/pelorus.h"
#include "hwinfo_machine.h"
#include "machine_test_support.h"

namespace {

using namespace machine_test;

constexpr wchar_t kPluginSubfolder[] = L"QUON\\CORVANE KIOSK Lite Service\\Pelorus";
constexpr wchar_t kPatchKey[] = L"SOFTWARE\\WOW6432Node\\QUON\\QuonFanService";
constexpr wchar_t kPatchValue[] = L"BIOS fan patch";
constexpr wchar_t kModeValue[] = L"FanMode";  // where FanModeTool.exe records its mode
constexpr DWORD kPatchSentinel = 7;

struct PluginDeleter {
  void operator()(Pelorus* p) const { p->Release(); }
};

// A Pelorus object whose companions come from the case's scratch folder
// (ProgramFiles points there), with a recording host attached.
class FanCommandsTest : public FanServiceMachineTest {
 protected:
  void SetUp() override {
    FanServiceMachineTest::SetUp();
    m_programFiles = std::make_unique<ScopedEnvironment>(L"ProgramFiles", m_scratch.path());
    m_plugin.reset(static_cast<Pelorus*>(QueryLibrary(0)));
    m_host.Attach(m_plugin.get());
  }
  void TearDown() override {
    m_plugin.reset();
    m_programFiles.reset();
    FanServiceMachineTest::TearDown();
  }

  void Install(const wchar_t* builtName, const wchar_t* installedName) {
    m_scratch.Place(BuiltFile(builtName), installedName, kPluginSubfolder);
  }

  HRESULT Call(const char16_t* command, QuonValueSet& request) {
    request.SetStringValue("Cmd", std::u16string(command));
    m_response.Clear();
    return m_plugin->ProcessRequest(nullptr, &request, &m_response);
  }

  // A null dataType sends the request without its "FanSpeedStatus" child.
  HRESULT SetFanSpeed(const char16_t* dataType, const char16_t* dataParam) {
    QuonValueSet request;
    if (dataType == nullptr) return Call(u"SetFanSpeed", request);
    QuonValueSet* status = request.CreateChild("FanSpeedStatus");
    status->SetStringValue("command", std::u16string(u"SetFanSpeed"));
    status->SetStringValue("service", std::u16string(u"FanService"));
    status->SetStringValue("dataType", std::u16string(dataType));
    status->SetStringValue("dataParam", std::u16string(dataParam));
    return Call(u"SetFanSpeed", request);
  }

  HRESULT AiControl(const char16_t* subCommand, int32_t itemType, int32_t itemValue) {
    QuonValueSet request;
    request.SetStringValue("mainCommand", std::u16string(u"AiControl"));
    request.SetStringValue("serviceID", std::u16string(u"SmartCooling"));
    request.SetStringValue("subCommand", std::u16string(subCommand));
    request.SetValue("itemType", new QuonValueSet::OrbValue(itemType));
    request.SetValue("itemValue", new QuonValueSet::OrbValue(itemValue));
    return Call(u"DoAiControl", request);
  }

  std::unique_ptr<ScopedEnvironment> m_programFiles;
  std::unique_ptr<Pelorus, PluginDeleter> m_plugin;
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
  const char16_t* errorLine;  // the caught exception's host log line, if any
};

void PrintTo(const FanSpeedCase& c, std::ostream* out) {
  *out << c.name;
}

// clang-format off
const FanSpeedCase kFanSpeedCases[] = {
  {"FanSpeed",           u"FanSpeed", u"2",           L"",  2,  0, nullptr},
  {"OtherDataType",      u"Silent",   u"2",           L"",  2,  0, nullptr},
  {"TrailingText",       u"FanSpeed", u"3abc",        L"",  3,  0, nullptr},
  {"ToolEndsWithCode2",  u"FanSpeed", u"1",           L"2", 1,  1, nullptr},
  {"NotANumber",         u"FanSpeed", u"abc",         L"",  -1, 0,
   u"[PELORUS][DoSetFanSpeed] error = invalid stoi argument"},
  // No "FanSpeedStatus" child: every value reads as empty.
  {"NoFanSpeedStatus",   nullptr,     nullptr,        L"",  -1, 0,
   u"[PELORUS][DoSetFanSpeed] error = invalid stoi argument"},
  {"OutOfRange",         u"FanSpeed", u"2147483648",  L"",  -1, 0,
   u"[PELORUS][DoSetFanSpeed] error = stoi argument out of range"},
};
// clang-format on

class SetFanSpeedCases : public FanCommandsTest,
                         public ::testing::WithParamInterface<FanSpeedCase> {};

TEST_P(SetFanSpeedCases, RunsTheToolResetsThePatchAndEchoes) {
  const FanSpeedCase& c = GetParam();
  Install(L"FanModeTool.exe", L"FanModeTool.exe");
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
    EXPECT_TRUE(m_host.HasLog(kOrbLogError, c.errorLine)) << "no line: " << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(Fan, SetFanSpeedCases, ::testing::ValuesIn(kFanSpeedCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FanCommandsTest, SetFanSpeedLogsTheSpeedOfAFanSpeedRequestOnly) {
  Install(L"FanModeTool.exe", L"FanModeTool.exe");
  ASSERT_EQ(SetFanSpeed(u"FanSpeed", u"3"), 0);
  ASSERT_EQ(SetFanSpeed(u"Silent", u"2"), 0);
  EXPECT_TRUE(m_host.HasLog(kOrbLogInfo, u"[PELORUS][DoSetFanSpeed] FanSpeed = 3"));
  EXPECT_FALSE(m_host.HasLog(kOrbLogInfo, u"[PELORUS][DoSetFanSpeed] FanSpeed = 2"));
}

TEST_F(FanCommandsTest, UnsignedCompanionsAreRefused) {
  Install(L"FanModeTool_unsigned.exe", L"FanModeTool.exe");
  Install(L"SmartCoolLib_unsigned.dll", L"SmartCoolLib.dll");
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
  Install(L"SmartCoolLib.dll", L"SmartCoolLib.dll");

  EXPECT_EQ(AiControl(u"CheckSupport", 1, 0), 0);
  EXPECT_TRUE(m_response.GetBoolValue("result"));
  EXPECT_EQ(AiControl(u"CheckSupport", 9, 0), 0);
  ASSERT_TRUE(m_response.Contains("result"));
  EXPECT_FALSE(m_response.GetBoolValue("result"));

  EXPECT_EQ(AiControl(u"SetItem", 1, 2), 0);
  EXPECT_TRUE(m_response.GetBoolValue("result"));
  EXPECT_EQ(AiControl(u"GetItem", 1, 0), 0);
  EXPECT_EQ(m_response.GetIntValue("itemValue"), 2);
  EXPECT_EQ(m_response.Count(), 1u);

  // Case counts; an unknown sub-command answers nothing.
  EXPECT_EQ(AiControl(u"getitem", 1, 0), 0);
  EXPECT_TRUE(m_response.Empty());
  EXPECT_TRUE(m_host.HasLog(
      kOrbLogInfo,
      u"[PELORUS][DoAiControl]  [AiControl], functionType = getitem, itemType= 1, itemValue= 0"));
}

TEST_F(FanCommandsTest, AiControlGetItemAnswersTheRequestsValueWhenTheLibraryCannotLoad) {
  // Signed by the maker, so the check passes, but its entry point refuses to load.
  Install(L"refusing_dll_quon.dll", L"SmartCoolLib.dll");

  EXPECT_EQ(AiControl(u"GetItem", 1, 37), 0);
  EXPECT_EQ(m_response.GetIntValue("itemValue"), 37);
  EXPECT_EQ(AiControl(u"SetItem", 1, 2), 0);
  ASSERT_TRUE(m_response.Contains("result"));
  EXPECT_FALSE(m_response.GetBoolValue("result"));
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
  Install(L"SmartCoolLib.dll", L"SmartCoolLib.dll");

  QuonValueSet request;
  request.CreateChild("TesseraReboot")->SetStringValue("command", std::u16string(u"cancel"));
  EXPECT_EQ(Call(u"DoTesseraReboot", request), 0);
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
  void SetUp() override {
    m_machine.Place(L"SysInfoProbe.dll");
    m_machine.Profile(std::string("[SysInfoProbe]\nProductLine=") + GetParam().productLine + "\n");
    m_firmware = std::make_unique<acpi_test::ScopedFirmware>(std::string(R"({"Mainboard": )") +
                                                             GetParam().mainboard + "}");
    m_plugin.reset(static_cast<Pelorus*>(QueryLibrary(0)));
    m_host.Attach(m_plugin.get());
  }

  std::u16string Label(const char16_t* command) {
    QuonValueSet request;
    request.SetStringValue("Cmd", std::u16string(command));
    request.CreateChild("MBInfo")->SetStringValue("command", std::u16string(u"fan"));
    QuonValueSet response;
    EXPECT_EQ(m_plugin->ProcessRequest(nullptr, &request, &response), 0);
    EXPECT_EQ(response.Count(), 1u);
    return response.GetStringValue("IsMBSupported");
  }

  HwMachine m_machine;
  std::unique_ptr<acpi_test::ScopedFirmware> m_firmware;
  std::unique_ptr<Pelorus, PluginDeleter> m_plugin;
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
