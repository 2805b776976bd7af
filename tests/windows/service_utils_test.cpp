// CheckServices against the real service control manager under Wine: the
// setup program is run from the installation folder under %ProgramFiles%
// (pointed at a scratch folder), and the fan-control service is started
// unless a process of its executable other than the caller runs.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

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

class CheckServicesTest : public FanServiceMachineTest {
 protected:
  void SetUp() override {
    FanServiceMachineTest::SetUp();
    m_installFolder = m_scratch.path() / L"QUON" / L"CORVANE KIOSK Lite Service" / L"Pelorus";
  }
  // Puts a setup program (signed or not) and the signed service executable
  // into the installation folder.
  void InstallCompanions(const wchar_t* setupSource = L"SetupQuonServices.exe") {
    std::filesystem::create_directories(m_installFolder);
    std::filesystem::copy_file(BuiltFile(setupSource), m_installFolder / L"SetupQuonServices.exe");
    std::filesystem::copy_file(BuiltFile(L"QuonFanControlService.exe"),
                               m_installFolder / L"QuonFanControlService.exe");
  }

  std::filesystem::path m_installFolder;
};

TEST_F(CheckServicesTest, WithoutTheSetupProgramOnlyLogsTheCheck) {
  ScopedEnvironment programFiles(L"ProgramFiles", m_scratch.path().wstring());
  std::filesystem::create_directories(m_installFolder / L"SetupQuonServices.exe");  // a folder
  LogCapture log;
  CheckServices();
  EXPECT_EQ(ServiceLines(log), Lines{"Check Services"});
  EXPECT_FALSE(ServiceExists());
}

TEST_F(CheckServicesTest, RunsTheSetupProgramThenStartsTheServiceOnce) {
  ScopedEnvironment programFiles(L"ProgramFiles", m_scratch.path().wstring());
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
  ScopedEnvironment programFiles(L"ProgramFiles", m_scratch.path().wstring());
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
  std::filesystem::path logFile = m_scratch.path() / L"probe.log";

  // The child's environment block carries the scratch ProgramFiles.
  std::wstring environment;
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* entry = block; *entry != 0; entry += std::wcslen(entry) + 1) {
    if (_wcsnicmp(entry, L"ProgramFiles=", 13) != 0) environment.append(entry).push_back(L'\0');
  }
  FreeEnvironmentStringsW(block);
  environment.append(L"ProgramFiles=" + m_scratch.path().wstring()).push_back(L'\0');
  environment.push_back(L'\0');

  std::wstring commandLine =
      L"\"" + probe.wstring() + L"\" check-services \"" + logFile.wstring() + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  ASSERT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                             CREATE_UNICODE_ENVIRONMENT, environment.data(), nullptr, &startup,
                             &info));
  unique_handle process(info.hProcess), thread(info.hThread);
  ASSERT_EQ(WaitForSingleObject(process.get(), 30000), WAIT_OBJECT_0);

  std::ifstream in(logFile);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("QuonFanControlService.exe does not exist."), std::string::npos)
      << text.str();
  EXPECT_EQ(text.str().find("is running"), std::string::npos) << text.str();
  EXPECT_TRUE(WaitServiceState(kFanService, SERVICE_RUNNING));
}

}  // namespace
