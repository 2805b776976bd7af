// The diagnostic log's start-up in fresh processes: diag_log_loader.exe
// loads Pelorus.dll, diag_log_writer.exe carries the same start-up linked in
// and writes lines. Each run gets its own all-users profile folder through
// ALLUSERSPROFILE (which the userenv.dll stand-in answers from), and runs
// under this test as its debugger, so the debugger output is seen too.
// Covered: rotation through the slots, control-file keywords, the registry
// switch, the "-logAnthorFile" suffix, independence from the order of static
// initialisation, and the failures the start-up must survive; one run uses
// the machine's real all-users folder. (Which slot an index content picks is
// tested natively.)
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

  // Runs a helper beside the test as its debugger, with this test's profile
  // folder; standard error joins standard output.
  ProcessRun RunHelper(const wchar_t* helper, const std::wstring& arguments) {
    ProcessOptions options;
    options.environment = m_environment;
    options.asDebugger = true;
    options.mergeErrors = true;
    return RunProcess(QuoteArgument(BesideTest(helper).wstring()) + L" " + arguments, options);
  }
  // Loads Pelorus.dll in a fresh process.
  ProcessRun Load(const std::wstring& arguments = L"") {
    return RunHelper(L"diag_log_loader.exe",
                     QuoteArgument(WindowsPath(PELORUS_DLL_PATH)) + L" " + arguments);
  }
  ProcessRun Write(const std::wstring& arguments = L"",
                   const wchar_t* writer = L"diag_log_writer.exe") {
    return RunHelper(writer, arguments);
  }

  // Names of the files in the log folder, sorted.
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(m_folder, ignored)) {
      if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  std::vector<std::string> LogFiles() const {
    std::vector<std::string> logs = Files();
    logs.erase(std::remove_if(logs.begin(), logs.end(),
                              [](const std::string& n) { return !n.ends_with(".log"); }),
               logs.end());
    return logs;
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

TEST_F(DiagLogStartup, EightStartsCycleThroughTheSlots) {
  const std::wstring checkFiles = L"--check-files \"" + m_folder.wstring() + L"\"";
  for (int start = 1; start <= 8; ++start) {
    SCOPED_TRACE(::testing::Message() << "start " << start);
    if (start == 8) {
      // The slot-01 file as an earlier start left it: the eighth start
      // takes slot 1 again and must delete it.
      const std::vector<std::string> logs = LogFiles();
      ASSERT_FALSE(logs.empty());
      fs::rename(m_folder / logs.front(), m_folder / "diag_log_loader_01_19990101000000.log");
    }
    const ProcessRun run = Load(checkFiles);
    // 4: the log file was left open after unloading; 5: it was not shared.
    ASSERT_EQ(run.exitCode, 0u) << run.out;
    const int slot = start == 8 ? 1 : start;
    EXPECT_EQ(ReadAll(m_folder / "diag_log_loader.idx"), std::to_string(slot));
    const std::vector<std::string> logs = LogFiles();
    ASSERT_EQ(logs.size(), static_cast<size_t>(std::min(start, 7)));
    for (int s = 1; s <= std::min(start, 7); ++s) {
      EXPECT_TRUE(
          std::regex_match(logs[static_cast<size_t>(s - 1)], SlotFile("diag_log_loader", s)))
          << logs[static_cast<size_t>(s - 1)];
    }
  }
  EXPECT_FALSE(fs::exists(m_folder / "diag_log_loader_01_19990101000000.log"));
}

// Slot 3's rotation deletes only complete matches, looks into subfolders,
// and reports a file it cannot delete (the subfolder's copy is looked for in
// the log folder itself, where it is gone by then).
TEST_F(DiagLogStartup, RotationDeletesOnlyTheSlotsEarlierFile) {
  const std::string earlier = "diag_log_loader_03_20240601120000.log";
  const std::vector<std::string> kept = {"diag_log_loader_03_2024060112000.log",
                                         "diag_log_loader_03_20240601120000.log.bak",
                                         "diag_log_loader_04_20240601120000.log"};
  ClearFolder();
  WriteAll(m_folder / "diag_log_loader.idx", "2");
  for (const std::string& name : kept) WriteAll(m_folder / name, "x");
  WriteAll(m_folder / earlier, "x");
  fs::create_directories(m_folder / "sub");
  WriteAll(m_folder / "sub" / earlier, "x");

  const ProcessRun run = Load();
  ASSERT_EQ(run.exitCode, 0u);
  EXPECT_NE(run.out.find("no delete file " + earlier), std::string::npos) << run.out;
  EXPECT_FALSE(fs::exists(m_folder / earlier));
  for (const std::string& name : kept) EXPECT_TRUE(fs::exists(m_folder / name)) << name;
  const std::vector<std::string> logs = LogFiles();
  EXPECT_EQ(std::count_if(logs.begin(), logs.end(),
                          [](const std::string& n) {
                            return std::regex_match(n, SlotFile("diag_log_loader", 3));
                          }),
            1);
}

TEST_F(DiagLogStartup, ControlFileKeywords) {
  struct Case {
    const char* content;
    bool fileCreated;
    bool lineInFile;
    bool lineOnDebugger;
  };
  const Case cases[] = {
      {"debug\r\n", true, true, false},  // unrecognised: mode 2 stays
      {"file", true, true, false},      {"all", true, true, true},
      {"debug", false, false, true},    {"no", false, false, false},
  };
  const std::regex debuggerLine(std::string(kStamp) + " writer line 0\r\n");
  const std::regex fileLine(std::string(kStamp) + "  writer line 0\r\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::string(c.content)));
    ClearFolder();
    WriteAll(m_folder / "quon.txt", c.content);
    const ProcessRun run = Write();
    ASSERT_EQ(run.exitCode, 0u);
    const std::vector<std::string> logs = LogFiles();
    ASSERT_EQ(logs.size(), c.fileCreated ? 1u : 0u);
    if (c.fileCreated) {
      EXPECT_EQ(std::regex_match(ReadAll(m_folder / logs[0]), fileLine), c.lineInFile);
    }
    EXPECT_EQ(Contains(run.debugger, debuggerLine), c.lineOnDebugger);
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
    ASSERT_EQ(Write(L"", writer).exitCode, 0u);
    const std::vector<std::string> logs = LogFiles();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_TRUE(std::regex_match(ReadAll(m_folder / logs[0]), fileLine));
  }
}

TEST_F(DiagLogStartup, RegistrySwitch) {
  struct Case {
    State state;
    DWORD value;
    const char* startupNote;  // on the debugger, from the start-up in mode 1
    bool lineInFile;
  };
  const Case cases[] = {
      {State::NoKey, 0, nullptr, true},
      {State::Value, 0, "dwUiResult=0", false},
      {State::Value, 1, "dwUiResult=1", true},
      {State::KeyWithoutValue, 0, "RegQueryValueEx error ", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << static_cast<int>(c.state) << " " << c.value);
    ClearFolder();
    LogSwitchGuard::Set(c.state, c.value);
    const ProcessRun run = Write();
    ASSERT_EQ(run.exitCode, 0u);
    const std::vector<std::string> logs = LogFiles();
    ASSERT_EQ(logs.size(), 1u);
    const std::string content = ReadAll(m_folder / logs[0]);
    EXPECT_EQ(content.empty(), !c.lineInFile) << content;
    if (c.startupNote != nullptr) {
      EXPECT_TRUE(
          Contains(run.debugger, std::regex(std::string(kStamp) + " " + c.startupNote + "\r\n")));
    }
  }
}

TEST_F(DiagLogStartup, LogNameSuffixFromTheCommandLine) {
  struct Case {
    bool loader;
    std::wstring arguments;
    std::string logName;
  };
  const Case cases[] = {
      {false, L"-logAnthorFile   _x more text", "diag_log_writer_x"},
      {false, L"-logAnthorFilex more", "diag_log_writer"},
      // A name that is not a valid pattern: the module still loads.
      {true, L"-logAnthorFile (", "diag_log_loader("},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logName);
    ClearFolder();
    const ProcessRun run = c.loader ? Load(c.arguments) : Write(c.arguments);
    ASSERT_EQ(run.exitCode, 0u);
    EXPECT_EQ(ReadAll(m_folder / (c.logName + ".idx")), "1");
    const std::vector<std::string> logs = LogFiles();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_TRUE(std::regex_match(logs[0], SlotFile(c.logName, 1))) << logs[0];
  }
}

TEST_F(DiagLogStartup, FolderThatCannotBeCreated) {
  // The profile "folder" is a file, so nothing can be created under it.
  const fs::path blocker = m_profile.path() / "blocker";
  WriteAll(blocker, "x");
  m_environment = EnvironmentBlock({L"ALLUSERSPROFILE=" + blocker.wstring()});
  const ProcessRun run = Load();
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_NE(run.out.find("file fail generate idx"), std::string::npos) << run.out;
}

TEST_F(DiagLogStartup, IndexThatCannotBeWrittenLeavesTheLogUnrotated) {
  ClearFolder();
  fs::create_directories(m_folder / "diag_log_loader.idx");
  const ProcessRun run = Load();
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_NE(run.out.find("file fail generate idx"), std::string::npos) << run.out;
  EXPECT_EQ(LogFiles(), std::vector<std::string>{"diag_log_loader.log"});
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

// With the inherited environment the stand-in answers the machine's own
// all-users folder, and the log lands there.
TEST_F(DiagLogStartup, MachineAllUsersFolder) {
  wchar_t profile[MAX_PATH] = {};
  ASSERT_GT(GetEnvironmentVariableW(L"ALLUSERSPROFILE", profile, MAX_PATH), 0u);
  const fs::path vendor = fs::path(profile) / L"QUON";
  const fs::path folder = vendor / L"CORVANE KIOSK Diagnosis" / L"Pelorus";
  const bool vendorExisted = fs::exists(vendor);
  std::vector<fs::path> before;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(folder, ignored)) before.push_back(entry.path());

  m_environment.clear();
  ASSERT_EQ(Load().exitCode, 0u);
  std::vector<fs::path> created;
  for (const auto& entry : fs::directory_iterator(folder, ignored)) {
    if (std::find(before.begin(), before.end(), entry.path()) == before.end()) {
      created.push_back(entry.path());
    }
  }
  const bool rotatedLog = std::any_of(created.begin(), created.end(), [](const fs::path& p) {
    return std::regex_match(p.filename().string(),
                            std::regex(R"(diag_log_loader_\d\d_\d{14}\.log)"));
  });
  EXPECT_TRUE(rotatedLog);
  for (const fs::path& path : created) fs::remove(path, ignored);
  if (!vendorExisted) fs::remove_all(vendor, ignored);
}

}  // namespace
