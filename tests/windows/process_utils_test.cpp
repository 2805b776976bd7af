// The process utilities against real processes under Wine: the start of a
// command line whose unquoted program path has a shorter name beside it, the
// start of the checked file by its full path, and a refused restart request
// (observed through the platform seam, never performed). (RunSignedAndWait's
// exit codes and refusals are seen by the uninstall and fan-command tests, an
// unquoted program path with spaces and the process lookup by the
// socket-server status check, the restart's flags by the fan commands.)
#include <gtest/gtest.h>

#include "machine_test_support.h"
#include "support/process_utils.h"
#include "support/system_restart.h"

namespace {

using machine_test::BuiltFile;
using machine_test::ScratchFolder;

// Waits up to 10 s for `file` to exist and returns its UTF-16 content.
std::wstring WaitForRecord(const std::filesystem::path& file) {
  for (int i = 0; i < 100 && !std::filesystem::exists(file); ++i) Sleep(100);
  Sleep(100);  // the writer closes the file right after creating it
  const std::string raw = machine_test::ReadAll(file);
  return std::wstring(reinterpret_cast<const wchar_t*>(raw.data()), raw.size() / sizeof(wchar_t));
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

int g_restartRequests = 0;
BOOL WINAPI RefuseRestart(UINT, DWORD) {
  ++g_restartRequests;
  return FALSE;
}

TEST(RebootSystem, ReportsARefusedRestart) {
  ScopedSeam<decltype(PlatformSeams::exitWindowsEx)> seam(&PlatformSeams::exitWindowsEx,
                                                          &RefuseRestart);
  EXPECT_FALSE(RebootSystem());
  EXPECT_EQ(g_restartRequests, 1);
}

}  // namespace
