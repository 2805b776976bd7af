// The process utilities against real processes under Wine: the signed start
// with wait, the start of a command line whose unquoted program path has
// spaces and an argument, the lookup of processes by exact name, and the
// restart request (observed through the platform seam, never performed).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "machine_test_support.h"
#include "support/process_utils.h"
#include "support/system_restart.h"

namespace {

using machine_test::BuiltFile;
using machine_test::LogCapture;
using machine_test::ScratchFolder;

std::string Narrow(const std::wstring& text) {
  return std::string(text.begin(), text.end());
}

// Waits up to 10 s for `file` to exist and returns its UTF-16 content.
std::wstring WaitForRecord(const std::filesystem::path& file) {
  for (int i = 0; i < 100 && !std::filesystem::exists(file); ++i) Sleep(100);
  Sleep(100);  // the writer closes the file right after creating it
  std::ifstream in(file, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  std::string raw = bytes.str();
  return std::wstring(reinterpret_cast<const wchar_t*>(raw.data()), raw.size() / sizeof(wchar_t));
}

TEST(RunSignedAndWait, ReturnsTheExitCodeOfAMakerSignedProgram) {
  std::wstring path = BuiltFile(L"utility_child_quon.exe").wstring();
  DWORD exitCode = 0xdeadbeef;
  EXPECT_TRUE(RunSignedAndWait(path.c_str(), L"exit 7", &exitCode));
  EXPECT_EQ(exitCode, 7u);
  // No parameters: the helper prints its usage and exits with 2.
  exitCode = 0xdeadbeef;
  EXPECT_TRUE(RunSignedAndWait(path.c_str(), nullptr, &exitCode));
  EXPECT_EQ(exitCode, 2u);
}

TEST(RunSignedAndWait, RefusesWhatTheMakerDidNotSign) {
  ScratchFolder scratch;
  const std::filesystem::path cases[] = {
      BuiltFile(L"utility_child.exe"),        // unsigned
      BuiltFile(L"utility_child_other.exe"),  // another company
      scratch.path() / L"missing.exe",
  };
  for (const std::filesystem::path& program : cases) {
    LogCapture log;
    std::filesystem::path record = scratch.path() / L"ran.txt";
    std::wstring parameters = L"record " + record.wstring();
    DWORD exitCode = 0xdeadbeef;
    EXPECT_FALSE(RunSignedAndWait(program.c_str(), parameters.c_str(), &exitCode))
        << program.string();
    EXPECT_EQ(exitCode, 0xdeadbeefu);
    EXPECT_TRUE(log.Contains("Failed to check signature, path : " + program.string()));
    EXPECT_FALSE(std::filesystem::exists(record)) << program.string() << " was started";
  }
}

// The status checks start "<unquoted path with spaces> -run".
TEST(LaunchProgram, ChecksTheProgramOfAnUnquotedPathWithSpaces) {
  ScratchFolder scratch;
  std::filesystem::path program =
      scratch.Place(BuiltFile(L"utility_child_quon.exe"), L"Socket Server.exe", L"Corvane dll");
  std::filesystem::path record = scratch.path() / L"ran.txt";
  std::wstring arguments = L" record " + record.wstring() + L" -run";
  std::wstring commandLine = program.wstring() + arguments;
  EXPECT_TRUE(LaunchProgram(commandLine.data()));
  // Windows hands the line over unchanged; Wine puts quotes around the
  // program path it resolved.
  std::wstring recorded = WaitForRecord(record);
  EXPECT_TRUE(recorded == commandLine || recorded == L"\"" + program.wstring() + L"\"" + arguments)
      << Narrow(recorded);
}

// An unsigned "Socket.exe" beside a signed "Socket Server.exe": CreateProcess
// would run "Socket.exe" for the unquoted line, so that is what is checked.
TEST(LaunchProgram, ChecksTheFileCreateProcessWouldRun) {
  ScratchFolder scratch;
  scratch.Place(BuiltFile(L"utility_child_quon.exe"), L"Socket Server.exe", L"dll");
  std::filesystem::path shadow =
      scratch.Place(BuiltFile(L"utility_child.exe"), L"Socket.exe", L"dll");
  std::filesystem::path record = scratch.path() / L"ran.txt";
  std::wstring commandLine =
      (scratch.path() / L"dll" / L"Socket Server.exe").wstring() + L" record " + record.wstring();
  EXPECT_FALSE(LaunchProgram(commandLine.data()));
  // Quoted, the signed program alone is named and started.
  std::wstring quoted = L"\"" + (scratch.path() / L"dll" / L"Socket Server.exe").wstring() +
                        L"\" record " + record.wstring();
  EXPECT_TRUE(LaunchProgram(quoted.data()));
  EXPECT_EQ(WaitForRecord(record), quoted);
}

// A bare program name: CreateProcess on its own would look in the test
// program's folder first and start the unsigned file of that name there; the
// signed file that was checked (in the working folder) is the one that runs,
// with the command line unchanged.
TEST(LaunchProgram, StartsTheFileItChecked) {
  ScratchFolder scratch;
  scratch.Place(BuiltFile(L"utility_child_quon.exe"), L"pelorus_launch.exe");
  const std::filesystem::path shadow = machine_test::BesideTest(L"pelorus_launch.exe");
  std::filesystem::copy_file(machine_test::BesideTest(L"signing_sample.exe"), shadow,
                             std::filesystem::copy_options::overwrite_existing);
  wchar_t saved[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, saved);
  ASSERT_TRUE(SetCurrentDirectoryW(scratch.path().c_str()));
  const std::filesystem::path record = scratch.path() / L"ran.txt";
  std::wstring commandLine = L"pelorus_launch.exe record " + record.wstring();
  EXPECT_TRUE(LaunchProgram(commandLine.data()));
  SetCurrentDirectoryW(saved);
  EXPECT_EQ(WaitForRecord(record), commandLine);
  std::error_code ignored;
  std::filesystem::remove(shadow, ignored);
}

TEST(FindProcessIdByName, MatchesTheExactExecutableName) {
  ScratchFolder scratch;
  std::filesystem::path program =
      scratch.Place(BuiltFile(L"utility_child.exe"), L"pelorus_find_me.exe");
  std::wstring commandLine = L"\"" + program.wstring() + L"\" wait 30000";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  ASSERT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &startup, &info));
  unique_handle process(info.hProcess), thread(info.hThread);

  EXPECT_EQ(FindProcessIdByName(L"pelorus_find_me.exe"), info.dwProcessId);
  EXPECT_EQ(FindProcessIdByName(L"Pelorus_Find_Me.exe"), 0u);  // case counts
  EXPECT_EQ(FindProcessIdByName(L"pelorus_find_me"), 0u);
  EXPECT_EQ(FindProcessIdByName(L"pelorus_find_me.exe "), 0u);
  EXPECT_EQ(FindProcessIdByName(L""), 0u);

  TerminateProcess(process.get(), 0);
  WaitForSingleObject(process.get(), 10000);
  EXPECT_EQ(FindProcessIdByName(L"pelorus_find_me.exe"), 0u);
}

struct RestartRequest {
  int calls = 0;
  UINT flags = 0xdeadbeef;
  DWORD reason = 0xdeadbeef;
  BOOL answer = TRUE;
};
RestartRequest g_restart;

BOOL WINAPI RecordRestart(UINT flags, DWORD reason) {
  ++g_restart.calls;
  g_restart.flags = flags;
  g_restart.reason = reason;
  return g_restart.answer;
}

TEST(RebootSystem, RequestsAForcedPlannedUpgradeRestart) {
  ScopedSeam<decltype(PlatformSeams::exitWindowsEx)> seam(&PlatformSeams::exitWindowsEx,
                                                          &RecordRestart);
  g_restart = {};
  EXPECT_TRUE(RebootSystem());
  EXPECT_EQ(g_restart.calls, 1);
  EXPECT_EQ(g_restart.flags, static_cast<UINT>(EWX_REBOOT | EWX_FORCE));
  EXPECT_EQ(g_restart.reason, 0x80020003u);

  g_restart = {};
  g_restart.answer = FALSE;  // Windows refuses
  EXPECT_FALSE(RebootSystem());
  EXPECT_EQ(g_restart.calls, 1);
}

}  // namespace
