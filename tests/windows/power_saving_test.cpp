// The CPU power-saving commands and the resume watcher, in-process against
// the bridge stand-in's built-in profile (AMD items 96-99, Intel 128-131 of
// group 11), with the settings file in a scratch ProgramFiles folder and the
// processor vendor chosen through the CPUID seam.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "acpi_bridge_fixture.h"
#include "firmware/power_saving.h"
#include "plugin/pelorus.h"
#include "hwinfo_machine.h"

namespace {

using acpi_test::ScopedFirmware;
using machine_test::WaitFor;
using OrbValue = QuonValueSet::OrbValue;

constexpr uint32_t kAmdStatus = 0x0B070060, kAmdLimit = 0x0B000061, kAmdInformation = 0x0B030062,
                   kAmdFlag = 0x0B070063, kIntelLimit = 0x0B000081;

template <const char* Vendor>
void FakeCpuid(int registers[4], int) {
  std::memcpy(&registers[1], Vendor, 4);
  std::memcpy(&registers[3], Vendor + 4, 4);
  std::memcpy(&registers[2], Vendor + 8, 4);
}
constexpr char kAmd[] = "AuthenticAMD";
constexpr char kIntel[] = "GenuineIntel";
constexpr char kOther[] = "HygonGenuine";

class PowerSaving : public ::testing::Test {
 protected:
  void UseVendor(void (*cpuid)(int[4], int)) { Seams().cpuid = cpuid; }

  // Calls a command with an optional "command" value; the reply lands in m_reply.
  HRESULT Call(const char16_t* cmd, OrbValue* command = nullptr) {
    return machine_test::CallPlugin(m_plugin.get(), cmd, &m_reply, [&](QuonValueSet& request) {
      if (command != nullptr) request.SetValue("command", command);
    });
  }
  HRESULT Call(const char16_t* cmd, const char16_t* text) {
    return Call(cmd, new OrbValue(std::u16string(text)));
  }
  // The answers of the five reading commands, in one line.
  std::string Readings() {
    std::string answers;
    for (const char16_t* cmd : {u"GetCpuVendor", u"GetPPTLimit", u"GetPowerSavingInfo",
                                u"GetBiosPPTFlag", u"GetCpuFlag"}) {
      EXPECT_EQ(Call(cmd), S_OK);
      answers += machine_test::Typed(m_reply);
    }
    return answers;
  }

  std::wstring Setting(const wchar_t* section, const wchar_t* key) {
    wchar_t value[80];
    GetPrivateProfileStringW(section, key, L"", value, 80, GetPowerSavingIniPath().c_str());
    return value;
  }

  ScopedFirmware m_firmware;
  HwMachine m_folder;  // ProgramFiles: the settings file's folder
  machine_test::PluginPtr m_plugin{QueryLibrary(0)};
  ScopedSeam<decltype(PlatformSeams::cpuid)> m_vendor{&PlatformSeams::cpuid, &FakeCpuid<kAmd>};
  QuonValueSet m_reply;
};

TEST_F(PowerSaving, ReadsTheVendorsItems) {
  EXPECT_EQ(Readings(),
            "{cpu_vendor:String=AMD}{ppt_limit:Int=142}{cpu_power:Double=15.5}"
            "{ppt_bios_flag:Int=1}{cpu_flag:Int=1}");
  UseVendor(&FakeCpuid<kIntel>);
  EXPECT_EQ(Readings(),
            "{cpu_vendor:String=Intel}{ppt_limit:Int=125}{cpu_power:Double=9.5}"
            "{ppt_bios_flag:Int=1}{cpu_flag:Int=1}");
  UseVendor(&FakeCpuid<kOther>);  // no items at all
  EXPECT_EQ(Readings(),
            "{cpu_vendor:String=UNKNOWN}{ppt_limit:Int=0}{cpu_power:Double=-1}"
            "{ppt_bios_flag:Int=1}{cpu_flag:Int=0}");
}

TEST_F(PowerSaving, PowerInformationOutsideItsRangeReadsAsTheDefault) {
  for (auto [raw, expected] : {std::pair{0u, 0.8}, {155u, 15.5}, {9999u, 999.9}, {10000u, 0.8}}) {
    ScopedFirmware::Store(kAmdInformation, raw);
    EXPECT_EQ(Call(u"GetPowerSavingInfo"), S_OK);
    EXPECT_DOUBLE_EQ(m_reply.GetDoubleValue("cpu_power"), expected) << raw;
  }
}

TEST_F(PowerSaving, WritesReachTheFirmware) {
  EXPECT_EQ(Call(u"SetPPTLimit", new OrbValue(int32_t{95})), S_OK);
  EXPECT_EQ(ScopedFirmware::Stored(kAmdLimit), 95);
  EXPECT_EQ(Call(u"GetPPTLimit"), S_OK);
  EXPECT_EQ(m_reply.GetIntValue("ppt_limit"), 95);
  EXPECT_EQ(Call(u"SetPPTLimit", u"120"), S_OK);  // not an Int: the limit is 0
  EXPECT_EQ(ScopedFirmware::Stored(kAmdLimit), 0);
  UseVendor(&FakeCpuid<kIntel>);
  EXPECT_EQ(Call(u"SetPPTLimit", new OrbValue(int32_t{65})), S_OK);
  EXPECT_EQ(ScopedFirmware::Stored(kIntelLimit), 65);
  UseVendor(&FakeCpuid<kAmd>);

  // Only exactly "ON" switches power saving on.
  for (auto [command, expected] : {std::pair{u"ON", 1}, {u"OFF", 0}, {u"ON", 1}, {u"on", 0}}) {
    EXPECT_EQ(Call(u"PowerSavingPPTCtrl", command), S_OK);
    EXPECT_EQ(ScopedFirmware::Stored(kAmdStatus), expected);
  }
}

TEST_F(PowerSaving, SavedStatusIsOnOffOrManual) {
  for (auto [command, stored] :
       {std::pair{u"ON", L"ON"}, {u"MANUAL", L"MANUAL"}, {u"on", L"OFF"}}) {
    EXPECT_EQ(Call(u"SaveCpuPowerSavingSettings", command), S_OK);
    EXPECT_EQ(Setting(L"Power Saving Card", L"CpuPowerSavingStatus"), stored);
  }
  EXPECT_EQ(ScopedFirmware::Stored(kAmdStatus), -1);  // the firmware is not touched
}

TEST_F(PowerSaving, WithoutTheBridgeCommandsAnswerTheirDefaults) {
  EXPECT_EQ(Call(u"GetCpuFlag"), S_OK);  // group 11 loaded while the bridge is there
  acpi_test::ScopedBridgeMissing missing;
  // The CPU flag comes from the descriptor, without a bridge call.
  EXPECT_EQ(Readings(),
            "{cpu_vendor:String=AMD}{ppt_limit:Int=0}{cpu_power:Double=-1}"
            "{ppt_bios_flag:Int=1}{cpu_flag:Int=1}");
  EXPECT_EQ(Call(u"SetPPTLimit", new OrbValue(int32_t{50})), S_OK);
}

// --- The resume watcher -------------------------------------------------------------

class ResumeWatcher : public PowerSaving {
 protected:
  ~ResumeWatcher() override {
    if (m_window != nullptr) SendMessageW(m_window, WM_CLOSE, 0, 0);  // ends the thread
  }
  void Start() {
    TakeResumeFlag();
    ASSERT_TRUE(StartResumeWatcher());
    ASSERT_TRUE(WaitFor([&] {
      m_window = FindWindowW(L"PowerSavingCard", nullptr);
      return m_window != nullptr;
    }));
    EXPECT_FALSE(IsWindowVisible(m_window));
  }
  // The suspend broadcast, then a posted message so the loop comes back.
  void Suspend() {
    SendMessageW(m_window, WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
    EXPECT_EQ(Setting(L"WndProc", L"S3_S4"), L"TRUE");
    PostMessageW(m_window, WM_NULL, 0, 0);
    EXPECT_TRUE(WaitFor([&] { return Setting(L"WndProc", L"S3_S4") == L"FALSE"; }));
  }
  HWND m_window = nullptr;
};

TEST_F(ResumeWatcher, SuspendReappliesTheSavedStatus) {
  Start();
  // First start: the file is made with the defaults; the firmware flag (1) keeps them.
  ASSERT_TRUE(
      WaitFor([&] { return Setting(L"Power Saving Card", L"CpuPowerSavingStatus") == L"OFF"; }));
  EXPECT_EQ(Setting(L"WndProc", L"S3_S4"), L"FALSE");

  for (auto [status, expected] : {std::pair{u"ON", 1}, {u"OFF", 0}, {u"ON", 1}}) {
    Call(u"SaveCpuPowerSavingSettings", status);
    Suspend();
    EXPECT_EQ(ScopedFirmware::Stored(kAmdStatus), expected);
  }
  // "MANUAL" leaves the firmware alone.
  Call(u"SaveCpuPowerSavingSettings", u"MANUAL");
  ScopedFirmware::Store(kAmdStatus, 0);
  Suspend();
  EXPECT_EQ(ScopedFirmware::Stored(kAmdStatus), 0);

  EXPECT_TRUE(TakeResumeFlag());
  EXPECT_FALSE(TakeResumeFlag());
}

TEST_F(ResumeWatcher, ManualFirmwareSettingIsCopiedAtStart) {
  WritePrivateProfileStringW(L"Power Saving Card", L"CpuPowerSavingStatus", L"ON",
                             GetPowerSavingIniPath().c_str());
  ScopedFirmware::Store(kAmdFlag, 0);
  Start();
  EXPECT_TRUE(
      WaitFor([&] { return Setting(L"Power Saving Card", L"CpuPowerSavingStatus") == L"MANUAL"; }));
  EXPECT_EQ(Setting(L"WndProc", L"S3_S4"), L"");  // an existing file gets no defaults
}

}  // namespace
