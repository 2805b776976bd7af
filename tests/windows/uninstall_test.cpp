// OnUninstall against real registry keys and a real, running fan-control
// service under Wine. One table of the rows that lead to different steps:
// older suite present or absent, service present or absent, and (when only
// the service is there) the executable's exit code or the executable
// unsigned; with and without an update-client key. The "Path" value ends in
// a backslash, as the executable name is appended to it directly. (The
// service alone with an executable that succeeds is uninstalled through
// orbhost and the built DLL, pelorus_e2e_test.cpp.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plugin/uninstall.h"
#include "machine_test_support.h"

namespace {

using namespace machine_test;

struct UninstallCase {
  const char* name;
  bool suite;
  bool service;
  bool signedExecutable;
  int exitCode;  // what a successful "/UnregServer" returns
  bool updateClientKey;
  int32_t result;
  std::vector<std::wstring> lastLines;  // after the four lines every call reports
  bool serviceRemains;
  const char* endLine;  // the "End. ..." log line, if any
};

const std::vector<std::wstring> kLaunched3 = {L"Launch Uninstall FanCtrlSvc Successfully.",
                                              L"Uninstall Return False"};
const std::vector<std::wstring> kNotLaunched = {L"Failed to Uninstall FanCtrlSvc",
                                                L"Set exit to -1.", L"Uninstall Return False"};
const std::vector<std::wstring> kLeftAlone = {L"Uninstall Return True"};

// clang-format off
const UninstallCase kCases[] = {
  // name                                suite  svc    signed exit key    result lines         remains end line
  {"SuiteAndService_LeavesServiceAlone",  true,  true,  true,  0,   true,  1,     kLeftAlone,   true,  nullptr},
  {"Neither_StartsNothing",               false, false, true,  3,   true,  1,     kLeftAlone,   false, nullptr},
  {"ServiceOnly_Exit3",                   false, true,  true,  3,   false, 0,     kLaunched3,   false, "End. (exitCode=3 -> 0)"},
  {"ServiceOnly_Unsigned",                false, true,  false, 0,   true,  0,     kNotLaunched, true,  "End. (exitCode=4294967295 -> 0)"},
};
// clang-format on

std::vector<std::wstring> g_progress;
void STDAPICALLTYPE RecordProgress(const OrbWChar* line) {
  g_progress.emplace_back(line);
}

class UninstallMatrix : public FanServiceMachineTest,
                        public ::testing::WithParamInterface<UninstallCase> {};

TEST_P(UninstallMatrix, ReportsEveryStepAndCleansUp) {
  const UninstallCase& c = GetParam();
  if (c.updateClientKey) {
    SetString(kUpdateClientKey, L"pv", L"5.9.9.0", k32);
    SetString(std::wstring(kUpdateClientKey) + L"\\Settings\\Channel", L"name", L"stable", k32);
  }
  if (c.suite) SetString(kSuiteKey, L"ExeName", L"Tessera3.exe", k32);

  const std::filesystem::path folder = m_scratch.path() / L"Fan Service";
  SetString(kFanKey, L"Path", folder.wstring() + L"\\", k32);
  m_scratch.Place(BuiltFile(c.signedExecutable ? L"QuonFanControlService.exe"
                                               : L"QuonFanControlService_unsigned.exe"),
                  L"QuonFanControlService.exe", L"Fan Service");
  if (c.service) {
    // The service runs from a signed copy of its own.
    InstallService(kFanService,
                   m_scratch.Place(BuiltFile(L"QuonFanControlService.exe"),
                                   L"QuonFanControlService.exe", L"Installed Service"),
                   true);
  }
  ScopedEnvironment exitCode(L"QUONFAN_UNREGSERVER_EXIT_CODE", std::to_wstring(c.exitCode));
  LogCapture log;
  g_progress.clear();

  EXPECT_EQ(OnUninstall(&RecordProgress), c.result);

  std::vector<std::wstring> expected = {
      L"Start OnUninstall", L"RegDeleteUpdateClient Success",
      c.suite ? L"Tessera3 Existed == True" : L"Tessera3 Existed == False",
      c.service ? L"FanCtrlSvc Existed == True" : L"FanCtrlSvc Existed == False"};
  expected.insert(expected.end(), c.lastLines.begin(), c.lastLines.end());
  EXPECT_EQ(g_progress, expected);

  EXPECT_FALSE(KeyExists(kUpdateClientKey, k32));
  EXPECT_TRUE(KeyExists(L"SOFTWARE\\QUON\\Update\\Clients", k32) || !c.updateClientKey);
  EXPECT_EQ(ServiceExists(), c.serviceRemains);

  EXPECT_TRUE(log.Contains(c.service ? "Opened service." : "Service does not exist."));
  EXPECT_TRUE(
      log.Contains("[OnUninstall] Tessera3 Path = " + std::string(c.suite ? "Tessera3.exe" : "")));
  const std::string executable = folder.string() + "\\QuonFanControlService.exe";
  EXPECT_TRUE(log.Contains("[OnUninstall] FanCtrlSvc Path = " + executable));
  EXPECT_EQ(log.Contains("Failed to check signature, path : " + executable), !c.signedExecutable);
  if (c.endLine != nullptr) {
    EXPECT_TRUE(log.Contains(c.endLine));
  } else {
    EXPECT_FALSE(log.ContainsPrefix("End. ("));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, UninstallMatrix, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<UninstallCase>& info) {
                           return std::string(info.param.name);
                         });

// Without any of the keys or the service: nothing to do, and a caller
// without a progress callback is fine.
TEST_F(FanServiceMachineTest, OnUninstallOnACleanMachineWithoutCallback) {
  LogCapture log;
  EXPECT_EQ(OnUninstall(nullptr), 1);
  EXPECT_TRUE(log.Contains("[OnUninstall] Tessera3 Existed = 0"));
  EXPECT_TRUE(log.Contains("[OnUninstall] FanCtrlSvc Existed = 0"));
  EXPECT_TRUE(log.Contains("[OnUninstall] FanCtrlSvc Path = QuonFanControlService.exe"));
  EXPECT_FALSE(log.ContainsPrefix("RegOpenKeyEx error"));
}

}  // namespace
