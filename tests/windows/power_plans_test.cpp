// The power-plan commands through OnMessage, against the Wine machine's
// power schemes (the powrprof.dll stand-in beside this test keeps the active
// one in HKLM, as Windows does) and a real control-panel process.
#include <gtest/gtest.h>

#include <winternl.h>
#include <tlhelp32.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "plugin/pelorus.h"
#include "machine_test_support.h"

namespace {

using machine_test::CallPlugin;

constexpr wchar_t kSchemesKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Power\\User\\PowerSchemes";
constexpr char kBalanced[] = "{active_plan:String=381B4222-F694-41F0-9685-FF5BB260DF2E}";
constexpr char kPowerSaver[] = "{active_plan:String=A1841308-3541-4FAB-BC81-F71556F20B4A}";
constexpr char kHighPerformance[] = "{active_plan:String=8C5E7FDA-E8BF-4A96-9A85-A6E23A8C635C}";

// Restores the machine's active scheme after each case.
class PowerPlanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_saved = machine_test::GetString(kSchemesKey, L"ActivePowerScheme");
    ASSERT_FALSE(m_saved.empty()) << "the Wine machine has no power schemes installed";
  }
  void TearDown() override { machine_test::SetString(kSchemesKey, L"ActivePowerScheme", m_saved); }

  // The whole answer, of status 0.
  std::string ActivePlan() {
    QuonValueSet response;
    EXPECT_EQ(m_p.Call(u"GetActivePowerPlan", &response), S_OK);
    return machine_test::Typed(response);
  }
  void SetPowerStatus(const char16_t* command) {
    QuonValueSet response;
    EXPECT_EQ(m_p.Call(u"SetPowerStatus", &response,
                       [&](QuonValueSet& request) {
                         if (command) request.SetStringValue("command", std::u16string(command));
                       }),
              S_OK);
    EXPECT_TRUE(response.Empty());
  }

  machine_test::AttachedPlugin m_p;
  std::wstring m_saved;
};

TEST_F(PowerPlanTest, SetPowerStatusSwitchesOnTheThreeExactWordsOnly) {
  const struct {
    const char16_t* word;
    const char* plan;
    const char16_t* line;
  } words[] = {
      {u"HighPerformance", kHighPerformance, u"[DoSetPowerStatus] Set to High Performance Mode"},
      {u"PowerSaver", kPowerSaver, u"[DoSetPowerStatus] Set to Power Saver Mode"},
      {u"AutoBalance", kBalanced, u"[DoSetPowerStatus] Set to Automatic Balance Mode"},
  };
  for (const auto& w : words) {
    SetPowerStatus(w.word);
    EXPECT_EQ(ActivePlan(), w.plan);
    EXPECT_TRUE(m_p.host.HasLog(kOrbLogInfo, w.line));
  }

  SetPowerStatus(u"PowerSaver");
  const size_t logged = m_p.host.logs().size();
  // Case counts; a missing word switches nothing.
  for (const char16_t* other : {u"powersaver", static_cast<const char16_t*>(nullptr)}) {
    SetPowerStatus(other);
    EXPECT_EQ(ActivePlan(), kPowerSaver);
  }
  for (size_t i = logged; i < m_p.host.logs().size(); ++i) {
    EXPECT_EQ(m_p.host.logs()[i].text.find(u"[DoSetPowerStatus]"), std::u16string::npos);
  }
}

TEST_F(PowerPlanTest, NoActiveSchemeAnswersAnEmptyPlan) {
  ASSERT_EQ(RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kSchemesKey, L"ActivePowerScheme"),
            ERROR_SUCCESS);
  EXPECT_EQ(ActivePlan(), "{active_plan:String=}");
}

// --- OpenPowerOptionPage -------------------------------------------------------------

// The command line of a process, read from its process parameters.
std::wstring CommandLineOf(HANDLE process) {
  PROCESS_BASIC_INFORMATION basic = {};
  if (NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof basic, nullptr) !=
      0) {
    return {};
  }
  PEB peb = {};
  RTL_USER_PROCESS_PARAMETERS parameters = {};
  if (!ReadProcessMemory(process, basic.PebBaseAddress, &peb, sizeof peb, nullptr) ||
      !ReadProcessMemory(process, peb.ProcessParameters, &parameters, sizeof parameters, nullptr)) {
    return {};
  }
  // A process that has only just started may still hold its parameters in
  // the form its creator wrote them: the text's address is then an offset
  // from the parameter block (the "normalized" flag, bit 0 of Flags, is clear).
  ULONG flags = 0;
  std::memcpy(&flags, parameters.Reserved1 + 8, sizeof flags);
  const char* address = reinterpret_cast<const char*>(parameters.CommandLine.Buffer);
  if ((flags & 1) == 0) {
    address = reinterpret_cast<const char*>(peb.ProcessParameters) +
              reinterpret_cast<ULONG_PTR>(parameters.CommandLine.Buffer);
  }
  std::wstring text(parameters.CommandLine.Length / sizeof(wchar_t), L'\0');
  if (!ReadProcessMemory(process, address, text.data(), parameters.CommandLine.Length, nullptr)) {
    return {};
  }
  return text;
}

// The first process this process started with that executable name; 0 if none.
DWORD ChildProcess(const wchar_t* exe) {
  unique_hfile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ParentProcessID == GetCurrentProcessId() && _wcsicmp(entry.szExeFile, exe) == 0)
      return entry.th32ProcessID;
  }
  return 0;
}

// Wine's control.exe does not know the Power Options page and ends after a
// moment by itself; the test catches it while it runs and ends it itself.
TEST(OpenPowerOptionPage, WaitsForTheControlPanelItStarted) {
  // Leaked on purpose if the handler never returns: its thread still uses it.
  IOrbPlugin* plugin = QueryLibrary(0);
  RecordingHost host;
  host.Attach(plugin);
  unique_handle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  HRESULT status = E_FAIL;
  std::thread call([&] {
    QuonValueSet response;
    status = CallPlugin(plugin, u"OpenPowerOptionPage", &response);
    EXPECT_TRUE(response.Empty());
    SetEvent(done.get());
  });

  unique_handle process;
  for (int i = 0; i < 2000 && !process; ++i) {
    if (WaitForSingleObject(done.get(), 0) == WAIT_OBJECT_0) break;
    if (DWORD pid = ChildProcess(L"control.exe")) {
      process.reset(
          OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_TERMINATE | SYNCHRONIZE,
                      FALSE, pid));
    }
  }
  ASSERT_TRUE(process) << "no control.exe of this process was seen running";
  // The process is listed as soon as it exists, before it has set up its
  // process parameters (until then the PEB is not there to read): its command
  // line is read once it can be.
  std::wstring commandLine;
  machine_test::WaitFor([&] {
    commandLine = CommandLineOf(process.get());
    return !commandLine.empty() || WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
  });
  wchar_t system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  EXPECT_EQ(commandLine, std::wstring(system) + L"\\control.exe /name Microsoft.PowerOptions");

  // While the control panel runs, the handler has not answered (checked in
  // this order, so a control panel that ends by itself meanwhile cannot fail
  // the check).
  const bool answered = WaitForSingleObject(done.get(), 0) == WAIT_OBJECT_0;
  if (WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT) {
    EXPECT_FALSE(answered);
  }
  TerminateProcess(process.get(), 0);
  if (WaitForSingleObject(done.get(), 20000) != WAIT_OBJECT_0) {
    call.detach();
    FAIL() << "OpenPowerOptionPage did not return after its process ended";
  }
  call.join();
  EXPECT_EQ(status, S_OK);
  EXPECT_TRUE(host.HasLog(kOrbLogInfo, u"[DoOpenPowerOptionPage] m_inUserSession = 0"));
  EXPECT_FALSE(host.HasLog(kOrbLogError, u"[DoOpenPowerOptionPagel] Close Handle FAIL: 0"));
  plugin->Release();
}

}  // namespace
