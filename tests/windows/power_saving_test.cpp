// The CPU power-saving commands and the resume watcher, in-process against
// the bridge stand-in's built-in profile (AMD items 96-99, Intel 128-131 of
// group 11), with the settings file in a scratch ProgramFiles folder and the
// processor vendor chosen through the CPUID seam.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../common/recording_host.h"
#include "acpi_bridge_fixture.h"
#include "firmware/power_saving.h"
#include "frame/pelorus.h"

namespace {

using acpi_test::ScopedFirmware;
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

struct PluginDeleter {
  void operator()(IOrbPlugin* p) const { p->Release(); }
};

class PowerSaving : public ::testing::Test {
 protected:
  PowerSaving()
      : m_programFiles(L"ProgramFiles", m_folder.path().wstring()),
        m_plugin(QueryLibrary(0)),
        m_vendor(&PlatformSeams::cpuid, &FakeCpuid<kAmd>) {
    std::filesystem::create_directories(m_folder.path() /
                                        L"QUON\\CORVANE KIOSK Lite Service\\Pelorus");
  }

  void UseVendor(void (*cpuid)(int[4], int)) { Seams().cpuid = cpuid; }

  // Calls a command with an optional "command" value; the reply lands in m_reply.
  HRESULT Call(const char16_t* cmd, OrbValue* command = nullptr) {
    QuonValueSet request;
    request.SetStringValue("Cmd", std::u16string(cmd));
    if (command != nullptr) request.SetValue("command", command);
    std::vector<uint8_t> message = FrameMessage(kOrbMessageRequest, kOrbEndpointClients, request);
    uint8_t* reply = nullptr;
    uint64_t length = 0;
    HRESULT status = m_plugin->OnMessage(nullptr, message.data(),
                                         static_cast<uint32_t>(message.size()), &reply, &length);
    m_reply.Clear();
    if (length != 0) m_reply.Deserialize(reply, &length);
    std::free(reply);
    return status;
  }
  HRESULT Call(const char16_t* cmd, const char16_t* text) {
    return Call(cmd, new OrbValue(std::u16string(text)));
  }

  std::wstring Setting(const wchar_t* section, const wchar_t* key) {
    wchar_t value[80];
    GetPrivateProfileStringW(section, key, L"", value, 80, GetPowerSavingIniPath().c_str());
    return value;
  }

  ScopedFirmware m_firmware;
  ScratchFolder m_folder;
  machine_test::ScopedEnvironment m_programFiles;
  std::unique_ptr<IOrbPlugin, PluginDeleter> m_plugin;
  ScopedSeam<decltype(PlatformSeams::cpuid)> m_vendor;
  QuonValueSet m_reply;
};

TEST_F(PowerSaving, ReadsTheVendorsItems) {
  struct Row {
    void (*cpuid)(int[4], int);
    const char16_t* vendor;
    int32_t limit;
    double power;
    int32_t biosFlag;
    int32_t cpuFlag;
  } rows[] = {
      {&FakeCpuid<kAmd>, u"AMD", 142, 15.5, 1, 1},
      {&FakeCpuid<kIntel>, u"Intel", 125, 9.5, 1, 1},
      {&FakeCpuid<kOther>, u"UNKNOWN", 0, -1.0, 1, 0},  // no items at all
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.vendor, row.vendor + 3));
    UseVendor(row.cpuid);
    EXPECT_EQ(Call(u"GetCpuVendor"), S_OK);
    EXPECT_EQ(m_reply.GetStringValue("cpu_vendor"), row.vendor);
    EXPECT_EQ(Call(u"GetPPTLimit", u"tour"), S_OK);
    EXPECT_EQ(m_reply.GetIntValue("ppt_limit"), row.limit);
    EXPECT_EQ(Call(u"GetPowerSavingInfo"), S_OK);
    EXPECT_DOUBLE_EQ(m_reply.GetDoubleValue("cpu_power"), row.power);
    EXPECT_EQ(Call(u"GetBiosPPTFlag"), S_OK);
    EXPECT_EQ(m_reply.GetIntValue("ppt_bios_flag"), row.biosFlag);
    EXPECT_EQ(Call(u"GetCpuFlag"), S_OK);
    EXPECT_EQ(m_reply.GetIntValue("cpu_flag"), row.cpuFlag);
  }
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
  EXPECT_EQ(ScopedFirmware::Stored(kAmdLimit), 95u);
  EXPECT_EQ(Call(u"GetPPTLimit"), S_OK);
  EXPECT_EQ(m_reply.GetIntValue("ppt_limit"), 95);
  EXPECT_EQ(Call(u"SetPPTLimit", u"120"), S_OK);  // not an Int: the limit is 0
  EXPECT_EQ(ScopedFirmware::Stored(kAmdLimit), 0u);
  UseVendor(&FakeCpuid<kIntel>);
  EXPECT_EQ(Call(u"SetPPTLimit", new OrbValue(int32_t{65})), S_OK);
  EXPECT_EQ(ScopedFirmware::Stored(kIntelLimit), 65u);
  UseVendor(&FakeCpuid<kAmd>);

  // Only exactly "ON" switches power saving on.
  for (auto [command, expected] : {std::pair{u"ON", 1u},
                                   {u"OFF", 0u},
                                   {u"ON", 1u},
                                   {u"on", 0u},
                                   {u"ON", 1u},
                                   {u"MANUAL", 0u}}) {
    EXPECT_EQ(Call(u"PowerSavingPPTCtrl", command), S_OK);
    EXPECT_EQ(ScopedFirmware::Stored(kAmdStatus), expected);
  }
}

TEST_F(PowerSaving, SavedStatusIsOnOffOrManual) {
  for (auto [command, stored] : {std::pair{u"ON", L"ON"},
                                 {u"MANUAL", L"MANUAL"},
                                 {u"on", L"OFF"},
                                 {u"ON", L"ON"},
                                 {u"", L"OFF"}}) {
    EXPECT_EQ(Call(u"SaveCpuPowerSavingSettings", command), S_OK);
    EXPECT_EQ(Setting(L"Power Saving Card", L"CpuPowerSavingStatus"), stored);
  }
  EXPECT_FALSE(ScopedFirmware::Stored(kAmdStatus).has_value());  // the firmware is not touched
}

TEST_F(PowerSaving, WithoutTheBridgeCommandsAnswerTheirDefaults) {
  EXPECT_EQ(Call(u"GetCpuFlag"), S_OK);  // group 11 loaded while the bridge is there
  acpi_test::ScopedBridgeMissing missing;
  EXPECT_EQ(Call(u"GetPPTLimit"), S_OK);
  EXPECT_EQ(m_reply.GetIntValue("ppt_limit"), 0);
  EXPECT_EQ(Call(u"GetPowerSavingInfo"), S_OK);
  EXPECT_DOUBLE_EQ(m_reply.GetDoubleValue("cpu_power"), -1.0);
  EXPECT_EQ(Call(u"GetBiosPPTFlag"), S_OK);
  EXPECT_EQ(m_reply.GetIntValue("ppt_bios_flag"), 1);
  EXPECT_EQ(Call(u"GetCpuFlag"), S_OK);  // from the descriptor, no bridge call
  EXPECT_EQ(m_reply.GetIntValue("cpu_flag"), 1);
  EXPECT_EQ(Call(u"SetPPTLimit", new OrbValue(int32_t{50})), S_OK);
}

// --- The resume watcher -------------------------------------------------------------

bool WaitFor(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    Sleep(20);
  }
  return true;
}

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
    wchar_t title[64] = {};
    GetWindowTextW(m_window, title, 64);
    EXPECT_STREQ(title, L"Power Saving Card.");
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

  for (auto [status, expected] : {std::pair{u"ON", 1u}, {u"OFF", 0u}, {u"ON", 1u}}) {
    Call(u"SaveCpuPowerSavingSettings", status);
    Suspend();
    EXPECT_EQ(ScopedFirmware::Stored(kAmdStatus), expected);
  }
  // "MANUAL" leaves the firmware alone.
  Call(u"SaveCpuPowerSavingSettings", u"MANUAL");
  ScopedFirmware::Store(kAmdStatus, 0);
  Suspend();
  EXPECT_EQ(ScopedFirmware::Stored(kAmdStatus), 0u);

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
