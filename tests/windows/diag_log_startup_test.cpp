// The diagnostic log's start-up in fresh processes: diag_log_loader.exe
// loads Pelorus.dll, diag_log_writer.exe carries the same start-up linked in
// and writes lines. Each run gets its own all-users profile folder through
// ALLUSERSPROFILE (which the userenv.dll stand-in answers from), and runs
// under this test as its debugger, so the debugger output is seen too.
// Covered: rotation through the slots, control-file keywords, the registry
// switch, the "-logAnthorFile" suffix, independence from the order of static
// initialisation, and the failures the start-up must survive. (Which slot an
// index content picks, which names a slot's pattern takes and how the suffix
// is parsed are tested natively.)
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "../common/windows_test_support.h"

namespace {

using namespace wintest;
namespace fs = std::filesystem;
using State = LogSwitchGuard::State;

const char kStamp[] = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)";

// A Windows path for a path the build gives in Unix form (Wine maps Z: to /).
std::wstring WindowsPath(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  if (!path.empty() && path.front() == '\\') path = "Z:" + path;
  return std::wstring(path.begin(), path.end());
}

bool Contains(const std::vector<std::string>& texts, const std::regex& pattern) {
  return std::any_of(texts.begin(), texts.end(),
                     [&](const std::string& t) { return std::regex_match(t, pattern); });
}

class DiagLogStartup : public ::testing::Test {
 protected:
  void SetUp() override { LogSwitchGuard::Set(State::NoKey); }

  // Runs a helper beside the test (by default the writer) as its debugger,
  // with this test's profile folder; standard error joins standard output.
  ProcessRun Run(const std::wstring& arguments = L"",
                 const wchar_t* helper = L"diag_log_writer.exe") {
    ProcessOptions options;
    options.environment = m_environment;
    options.asDebugger = true;
    options.mergeErrors = true;
    return RunProcess(QuoteArgument(BesideTest(helper).wstring()) + L" " + arguments, options);
  }
  // Loads Pelorus.dll in a fresh process.
  ProcessRun Load(const std::wstring& arguments = L"") {
    return Run(QuoteArgument(WindowsPath(PELORUS_DLL_PATH)) + L" " + arguments,
               L"diag_log_loader.exe");
  }

  // Names of the log files in the log folder, sorted.
  std::vector<std::string> LogFiles() const {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(m_folder, ignored)) {
      const std::string name = entry.path().filename().string();
      if (entry.is_regular_file() && name.ends_with(".log")) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  void ClearFolder() {
    fs::remove_all(m_folder);
    fs::create_directories(m_folder);
  }

  LogSwitchGuard m_guard;
  ScratchFolder m_profile;
  fs::path m_folder = m_profile.path() / L"QUON" / L"CORVANE KIOSK Diagnosis" / L"Pelorus";
  std::vector<wchar_t> m_environment =
      EnvironmentBlock({L"ALLUSERSPROFILE=" + m_profile.path().wstring()});
};

std::regex SlotFile(const std::string& name, int slot) {
  char slotText[8];
  std::snprintf(slotText, sizeof slotText, "%02d", slot);
  return std::regex(std::regex_replace(name, std::regex(R"([()])"), R"(\$&)") + "_" + slotText +
                    R"(_\d{14}\.log)");
}

// A start that takes slot 7 from the index file (which slot follows which
// content is tested natively): it deletes only its slot's earlier file, also
// looking into subfolders, and reports a file it cannot delete (the
// subfolder's copy is looked for in the log folder itself, where it is gone
// by then).
TEST_F(DiagLogStartup, StartTakesTheNextSlot) {
  const std::string earlier7 = "diag_log_loader_07_20240601120000.log";
  const std::string earlier1 = "diag_log_loader_01_19990101000000.log";
  const std::string kept = earlier7 + ".bak";
  ClearFolder();
  WriteAll(m_folder / "diag_log_loader.idx", "6");
  for (const std::string& name : {earlier7, earlier1, kept}) WriteAll(m_folder / name, "x");
  fs::create_directories(m_folder / "sub");
  WriteAll(m_folder / "sub" / earlier7, "x");

  const ProcessRun run = Load(L"--check-files " + QuoteArgument(m_folder.wstring()));
  // 4: the log file was left open after unloading; 5: it was not shared.
  ASSERT_EQ(run.exitCode, 0u) << run.out;
  EXPECT_EQ(ReadAll(m_folder / "diag_log_loader.idx"), "7");
  EXPECT_NE(run.out.find("no delete file " + earlier7), std::string::npos) << run.out;
  EXPECT_TRUE(fs::exists(m_folder / kept));
  const std::vector<std::string> logs = LogFiles();
  ASSERT_EQ(logs.size(), 2u);
  EXPECT_EQ(logs[0], earlier1);
  EXPECT_TRUE(std::regex_match(logs[1], SlotFile("diag_log_loader", 7))) << logs[1];
}

// The control file's keyword sets the mode; the "EnableLog" switch (no key:
// on) lets lines into the file.
TEST_F(DiagLogStartup, ControlFileKeywordsAndRegistrySwitch) {
  struct Case {
    const char* control;  // the control file's content; nullptr: none
    State state;
    DWORD value;
    bool fileCreated;
    bool lineInFile;
    bool lineOnDebugger;
    const char* startupNote;  // on the debugger, from the start-up in mode 1
  };
  const Case cases[] = {
      {"debug\r\n", State::NoKey, 0, true, true, false, nullptr},  // unrecognised: mode 2 stays
      {"file", State::NoKey, 0, true, true, false, nullptr},
      {"all", State::NoKey, 0, true, true, true, nullptr},
      {"debug", State::NoKey, 0, false, false, true, nullptr},
      {"no", State::NoKey, 0, false, false, false, nullptr},
      {nullptr, State::Value, 0, true, false, false, "dwUiResult=0"},
      {nullptr, State::Value, 1, true, true, false, "dwUiResult=1"},
      {nullptr, State::KeyWithoutValue, 0, true, false, false, "RegQueryValueEx error "},
  };
  const std::regex debuggerLine(std::string(kStamp) + " writer line 0\r\n");
  const std::regex fileLine(std::string(kStamp) + "  writer line 0\r\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << ::testing::PrintToString(c.control) << ", switch "
                                      << static_cast<int>(c.state) << " " << c.value);
    ClearFolder();
    if (c.control != nullptr) WriteAll(m_folder / "quon.txt", c.control);
    LogSwitchGuard::Set(c.state, c.value);
    const ProcessRun run = Run();
    ASSERT_EQ(run.exitCode, 0u);
    const std::vector<std::string> logs = LogFiles();
    ASSERT_EQ(logs.size(), c.fileCreated ? 1u : 0u);
    if (c.fileCreated) {
      const std::string content = ReadAll(m_folder / logs[0]);
      EXPECT_TRUE(c.lineInFile ? std::regex_match(content, fileLine) : content.empty()) << content;
    }
    EXPECT_EQ(Contains(run.debugger, debuggerLine), c.lineOnDebugger);
    if (c.startupNote != nullptr) {
      EXPECT_TRUE(
          Contains(run.debugger, std::regex(std::string(kStamp) + " " + c.startupNote + "\r\n")));
    }
    // The rotation runs whatever the mode.
    EXPECT_EQ(ReadAll(m_folder / "diag_log_writer.idx"), "1");
  }
}

// The start-up runs during the static initialisation of the module; the log
// object must be ready whichever object file is initialised first. The two
// writers link the log's object after and before the start-up's.
TEST_F(DiagLogStartup, StartUpDoesNotDependOnInitialisationOrder) {
  const std::regex fileLine(std::string(kStamp) + "  writer line 0\r\n");
  for (const wchar_t* writer : {L"diag_log_writer.exe", L"diag_log_writer_log_first.exe"}) {
    SCOPED_TRACE(::testing::PrintToString(std::wstring(writer)));
    ClearFolder();
    ASSERT_EQ(Run(L"", writer).exitCode, 0u);
    const std::vector<std::string> logs = LogFiles();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_TRUE(std::regex_match(ReadAll(m_folder / logs[0]), fileLine));
  }
}

TEST_F(DiagLogStartup, LogNameSuffixFromTheCommandLine) {
  ASSERT_EQ(Run(L"-logAnthorFile   _x more text").exitCode, 0u);
  EXPECT_EQ(ReadAll(m_folder / "diag_log_writer_x.idx"), "1");
  const std::vector<std::string> logs = LogFiles();
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_TRUE(std::regex_match(logs[0], SlotFile("diag_log_writer_x", 1))) << logs[0];
}

TEST_F(DiagLogStartup, IndexOrFolderThatCannotBeWritten) {
  // An index that is a folder: the log stays unrotated.
  fs::create_directories(m_folder / "diag_log_loader.idx");
  ProcessRun run = Load();
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_NE(run.out.find("file fail generate idx"), std::string::npos) << run.out;
  EXPECT_EQ(LogFiles(), std::vector<std::string>{"diag_log_loader.log"});

  // A profile "folder" that is a file: nothing can be created under it.
  const fs::path blocker = m_profile.path() / "blocker";
  WriteAll(blocker, "x");
  m_environment = EnvironmentBlock({L"ALLUSERSPROFILE=" + blocker.wstring()});
  run = Load();
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_NE(run.out.find("file fail generate idx"), std::string::npos) << run.out;
}

TEST_F(DiagLogStartup, NoProfileFolderWritesTheFallbackLine) {
  wchar_t windows[MAX_PATH];
  GetWindowsDirectoryW(windows, MAX_PATH);
  const fs::path fallback = fs::path(windows) / "diag_log_loader.log";
  m_environment = EnvironmentBlock({L"ALLUSERSPROFILE"});
  const ProcessRun run = Load();
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(ReadAll(fallback), "error dont read log config\r\n");
  std::error_code ignored;
  fs::remove(fallback, ignored);
}

}  // namespace
