// CheckServices against the real service control manager under Wine: the
// setup program is run from the installation folder under %ProgramFiles%
// (pointed at a scratch folder), and the fan-control service is started
// unless a process of its executable other than the caller runs.
#include <gtest/gtest.h>

#include "machine_test_support.h"
#include "support/service_utils.h"

namespace {

using namespace machine_test;

using Lines = std::vector<std::string>;

// The log lines of CheckServices itself: the signature check's own lines
// (the signer's issuer and subject) are left out.
Lines ServiceLines(const LogCapture& log) {
  Lines out;
  for (const std::string& line : log.Messages()) {
    if (line.rfind("Issuer Name: ", 0) != 0 && line.rfind("Subject Name: ", 0) != 0) {
      out.push_back(line);
    }
  }
  return out;
}

// ProgramFiles points at the case's scratch folder, for this process and the
// programs it starts.
class CheckServicesTest : public FanServiceMachineTest {
 protected:
  // Puts a setup program (signed or not) and the signed service executable
  // into the installation folder.
  void InstallCompanions(const wchar_t* setupSource = L"SetupQuonServices.exe") {
    std::filesystem::create_directories(m_installFolder);
    std::filesystem::copy_file(BuiltFile(setupSource), m_installFolder / L"SetupQuonServices.exe");
    std::filesystem::copy_file(BuiltFile(L"QuonFanControlService.exe"),
                               m_installFolder / L"QuonFanControlService.exe");
  }

  const std::filesystem::path m_installFolder =
      m_scratch.path() / L"QUON" / L"CORVANE KIOSK Lite Service" / L"Pelorus";
  ScopedEnvironment m_programFiles{L"ProgramFiles", m_scratch.path().wstring()};
};

TEST_F(CheckServicesTest, WithoutTheSetupProgramOnlyLogsTheCheck) {
  std::filesystem::create_directories(m_installFolder / L"SetupQuonServices.exe");  // a folder
  LogCapture log;
  CheckServices();
  EXPECT_EQ(ServiceLines(log), Lines{"Check Services"});
  EXPECT_FALSE(ServiceExists());
}

TEST_F(CheckServicesTest, RunsTheSetupProgramThenStartsTheServiceOnce) {
  InstallCompanions();
  {
    LogCapture log;
    CheckServices();
    EXPECT_EQ(ServiceLines(log),
              (Lines{"Check Services", "runCmdinShell SetupQuonServices.exe Success",
                     "QuonFanControlService.exe does not exist.", "Start QuonFanControlService"}));
  }
  ASSERT_TRUE(WaitServiceState(kFanService, SERVICE_RUNNING));
  DWORD pid = FindProcessIdByName(L"QuonFanControlService.exe");
  EXPECT_NE(pid, 0u);
  // The setup program recorded its folder for the uninstall clean-up.
  EXPECT_EQ(GetString(kFanKey, L"Path", k32), m_installFolder.wstring() + L"\\");

  // Running: found and left alone.
  LogCapture log;
  CheckServices();
  EXPECT_EQ(ServiceLines(log),
            (Lines{"Check Services", "runCmdinShell SetupQuonServices.exe Success",
                   "QuonFanControlService.exe is running, Process ID = " + std::to_string(pid)}));
}

TEST_F(CheckServicesTest, ASetupProgramNotSignedByTheMakerIsNotRun) {
  InstallCompanions(L"utility_child_other.exe");
  LogCapture log;
  CheckServices();
  Lines lines = ServiceLines(log);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Check Services");
  EXPECT_EQ(lines[1].rfind("IsSignature fail [SYSTEM_ERROR:", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2], "runCmdinShell SetupQuonServices.exe Fail");
  EXPECT_FALSE(ServiceExists());
}

// The caller itself runs as "QuonFanControlService.exe": that process does
// not count, so the service is started.
TEST_F(CheckServicesTest, TheCallersOwnProcessDoesNotCountAsTheService) {
  InstallCompanions();
  std::filesystem::path probe =
      m_scratch.Place(BuiltFile(L"utility_child.exe"), L"QuonFanControlService.exe", L"probe");
  const ProcessRun run = RunProcess(QuoteArgument(probe.wstring()) + L" check-services");
  EXPECT_NE(run.out.find("QuonFanControlService.exe does not exist."), std::string::npos)
      << run.out;
  EXPECT_EQ(run.out.find("is running"), std::string::npos) << run.out;
  EXPECT_TRUE(WaitServiceState(kFanService, SERVICE_RUNNING));
}

}  // namespace
