// The fan commands in-process under Wine: SetFanSpeed against the signed
// fan-mode tool (which records the mode it gets in the registry) and the
// "BIOS fan patch" value, the restart commands through the restart seam,
// DoAiControl against the smart-cooling library, and the fan-tool support
// labels from a scripted mainboard-information block.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "acpi_bridge_fixture.h"
#include "../common/minimal_plugin.h"
#include "plugin/pelorus.h"
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
  HRESULT Call(const char16_t* command, const std::function<void(QuonValueSet&)>& fill) {
    return m_p.Call(command, &m_response, fill);
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
  // Sent with m_caller as the caller interface.
  HRESULT AiControl(const char16_t* subCommand, int32_t itemType, int32_t itemValue) {
    QuonValueSet request;
    request.SetStringValue("Cmd", u"DoAiControl");
    request.SetStringValue("subCommand", std::u16string(subCommand));
    request.SetValue("itemType", new QuonValueSet::OrbValue(itemType));
    request.SetValue("itemValue", new QuonValueSet::OrbValue(itemValue));
    return CallPlugin(m_p.plugin.get(), request, &m_response, m_caller);
  }

  HwMachine m_machine;
  AttachedPlugin m_p;
  QuonValueSet m_response;
  MinimalPlugin m_callerObject;  // a caller interface other than the plug-in itself
  IOrbLibrary* const m_caller = &m_callerObject;
};

// --- SetFanSpeed -----------------------------------------------------------------------

// The conversion of "dataParam" itself is checked natively (DecimalToInt).
TEST_F(FanCommandsTest, SetFanSpeedRunsTheToolResetsThePatchAndEchoes) {
  m_machine.Place(L"FanModeTool.exe");
  const struct {
    const char16_t* dataType;  // null: no "FanSpeedStatus" child, every value reads as empty
    const char16_t* dataParam;
    const wchar_t* toolExitCode;  // FANMODETOOL_EXIT_CODE, "" for the tool's own 0
    int64_t mode;                 // what the tool recorded; -1: it did not run
    HRESULT status;
    const char16_t* line;  // the command's one host log line: the speed, or the caught exception
  } cases[] = {
      {u"Silent", u"2", L"", 2, 0, nullptr},
      {u"FanSpeed", u"3", L"2", 3, 1, u"[PELORUS][DoSetFanSpeed] FanSpeed = 3"},
      {nullptr, nullptr, L"", -1, 0, u"[PELORUS][DoSetFanSpeed] error = invalid stoi argument"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << &c - cases);
    RemoveKey(kFanKey, k32);
    SetDword(kPatchKey, kPatchValue, kPatchSentinel);
    ScopedEnvironment exitCode(L"FANMODETOOL_EXIT_CODE", c.toolExitCode);
    const size_t logged = m_p.host.logs().size();

    EXPECT_EQ(SetFanSpeed(c.dataType, c.dataParam), c.status);

    const bool ran = c.mode >= 0;
    EXPECT_EQ(GetDword(kFanKey, kModeValue, k32), c.mode);
    EXPECT_EQ(GetDword(kPatchKey, kPatchValue), ran ? 0 : int64_t{kPatchSentinel});
    EXPECT_EQ(m_response.GetStringValue("FanStatus"), ran ? c.dataParam : u"");
    EXPECT_EQ(m_response.Count(), ran ? 1u : 0u);
    size_t lines = 0;
    const std::vector<RecordedLog> logs = m_p.host.logs();
    for (size_t i = logged; i < logs.size(); ++i)
      lines += logs[i].text.find(u"[DoSetFanSpeed]") != std::u16string::npos ? 1 : 0;
    EXPECT_EQ(lines, c.line != nullptr ? 1u : 0u);
    if (c.line != nullptr) {
      EXPECT_TRUE(m_p.host.HasLog(ran ? kOrbLogInfo : kOrbLogError, c.line));
    }
  }
}

TEST_F(FanCommandsTest, UnsignedCompanionsAreRefused) {
  m_machine.Place(L"FanModeTool_unsigned.exe", L"FanModeTool.exe");
  m_machine.Place(L"SmartCoolLib_unsigned.dll", L"SmartCoolLib.dll");
  SetDword(kPatchKey, kPatchValue, kPatchSentinel);

  EXPECT_EQ(SetFanSpeed(u"FanSpeed", u"2"), 1);
  EXPECT_TRUE(m_response.Empty());
  EXPECT_EQ(GetDword(kFanKey, kModeValue, k32), -1);
  EXPECT_EQ(GetDword(kPatchKey, kPatchValue), kPatchSentinel);
  EXPECT_TRUE(m_p.host.HasLog(kOrbLogError,
                              u"[PELORUS][DoSetFanSpeed] FanModeTool.exe IsQuonSignature ERROR"));

  EXPECT_EQ(AiControl(u"GetItem", 1, 2), 1);
  EXPECT_TRUE(m_response.Empty());
  EXPECT_TRUE(
      m_p.host.HasLog(kOrbLogError, u"[PELORUS][DoAiControl] AI Control IsQuonSignature ERROR"));
}

// --- DoAiControl -------------------------------------------------------------------------

TEST_F(FanCommandsTest, AiControlDrivesTheSmartCoolingLibrary) {
  m_machine.Place(L"SmartCoolLib.dll");

  EXPECT_EQ(AiControl(u"CheckSupport", 1, 0), 0);
  EXPECT_EQ(Typed(m_response), "{result:Bool=true}");
  EXPECT_EQ(AiControl(u"SetItem", 1, 2), 0);
  EXPECT_EQ(Typed(m_response), "{result:Bool=true}");
  EXPECT_EQ(AiControl(u"GetItem", 1, 0), 0);
  EXPECT_EQ(Typed(m_response), "{itemValue:Int=2}");
  // The bridge's own lines carry the caller interface the command received.
  size_t bridgeLines = 0;
  for (const RecordedLog& l : m_p.host.logs()) {
    if (l.text.rfind(u"[Pelorus][AIControlHandler]", 0) != 0) continue;
    ++bridgeLines;
    EXPECT_EQ(l.owner, m_caller) << std::string(l.text.begin(), l.text.end());
  }
  EXPECT_GT(bridgeLines, 0u);

  // Case counts; an unknown sub-command answers nothing.
  EXPECT_EQ(AiControl(u"getitem", 1, 0), 0);
  EXPECT_TRUE(m_response.Empty());
  EXPECT_TRUE(m_p.host.HasLog(
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
  EXPECT_TRUE(m_p.host.HasLog(kOrbLogInfo, u"[DoTesseraReboot], After reboot command, result = 1"));
  EXPECT_TRUE(m_p.host.HasLog(
      kOrbLogInfo, u"[PELORUS][DoAiControl]  [Reboot], === END reboot command, result = 1"));
}

// --- Fan-tool support -------------------------------------------------------------------

// The board as the system-information library and the ACPI bridge describe it.
TEST(FanPilotSupport, LabelsFollowTheFeatureWord) {
  const struct {
    const char* productLine;
    const char* mainboard;  // the bridge's mainboard-information block, as profile elements
    const char* plugin;
    const char* dashboard;
  } cases[] = {
      {"Motherboard", R"([1, "PRB-01", "0x00001700"])", "Fan Pilot 2+", "Fan Pilot 2+  (in CK)"},
      {"Motherboard", R"([1, "PRB-01", "0x00000700"])", "No Support", "Fan Pilot 2+ (in TS3)"},
      {"Motherboard", R"([1, "0x00001700"])", "No Support", "Fan Pilot (in TS3)"},
      {"Desktop", R"([1, "PRB-01", "0x00001700"])", "No Support", "Fan Pilot (in TS3)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.productLine) + " " + c.mainboard);
    HwMachine machine(L"SysInfoProbe.dll",
                      std::string("[SysInfoProbe]\nProductLine=") + c.productLine + "\n");
    acpi_test::ScopedFirmware firmware(std::string(R"({"Mainboard": )") + c.mainboard + "}");
    AttachedPlugin p;
    std::vector<std::string> answers;
    for (const char16_t* command : {u"GetTesseraPluginInfo", u"GetTesseraPluginInfoForDashbaord"}) {
      QuonValueSet response;
      EXPECT_EQ(p.Call(command, &response,
                       [](QuonValueSet& request) {
                         request.CreateChild("MBInfo")->SetStringValue("command",
                                                                       std::u16string(u"fan"));
                       }),
                0);
      answers.push_back(Typed(response));
    }
    const std::string dashboard = c.dashboard;
    EXPECT_EQ(answers,
              (std::vector<std::string>{"{IsMBSupported:String=" + std::string(c.plugin) + "}",
                                        "{IsMBSupported:String=" + dashboard + "}"}));
    const std::string line =
        "[PELORUS][DoGetTesseraPluginInfoForDashbaord] isSupportFanControl = " +
        std::string(dashboard.rfind("Fan Pilot", 0) == 0 ? "true" : "false") +
        ", supportModel: " + dashboard;
    EXPECT_TRUE(p.host.HasLog(kOrbLogInfo, std::u16string(line.begin(), line.end())));
  }
}

}  // namespace
