// The diagnostic log's start-up in fresh processes: diag_log_loader.exe
// loads Pelorus.dll, diag_log_writer.exe carries the same start-up linked in
// and writes lines. Each run gets its own all-users profile folder through
// ALLUSERSPROFILE (which the userenv.dll stand-in answers from), and runs
// under this test as its debugger, so the debugger output is seen too.
// Covered: rotation through the slots, index contents, control-file
// keywords, the registry switch, the "-logAnthorFile" suffix, and the
// failures the start-up must survive; one run uses the machine's real
// all-users folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "diag_log_fixtures.h"

namespace {

using namespace diaglog_test;
namespace fs = std::filesystem;

const char kStamp[] = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)";

struct ChildRun {
  DWORD exitCode = 0xdeadbeef;
  std::string output;                 // standard output and error
  std::vector<std::string> debugger;  // OutputDebugString texts
};

// Runs a program as its debugger, with the given environment block (empty:
// this process's environment), collecting its output.
ChildRun RunChild(std::wstring commandLine, const std::vector<wchar_t>& environment) {
  ChildRun run;
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) return run;
  const unique_handle reader(readEnd);
  unique_handle writer(writeEnd);
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                      DEBUG_ONLY_THIS_PROCESS | CREATE_UNICODE_ENVIRONMENT,
                      environment.empty() ? nullptr : const_cast<wchar_t*>(environment.data()),
                      nullptr, &startup, &process)) {
    return run;
  }
  const unique_handle processHandle(process.hProcess);
  const unique_handle threadHandle(process.hThread);
  writer.reset();
  std::thread drain([&] {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) {
      run.output.append(buffer, got);
    }
  });

  for (bool done = false; !done;) {
    DEBUG_EVENT event;
    if (!WaitForDebugEvent(&event, 60000)) {
      TerminateProcess(process.hProcess, 0xdead);
      break;
    }
    DWORD status = DBG_CONTINUE;
    switch (event.dwDebugEventCode) {
      case CREATE_PROCESS_DEBUG_EVENT:
        if (event.u.CreateProcessInfo.hFile) CloseHandle(event.u.CreateProcessInfo.hFile);
        break;
      case LOAD_DLL_DEBUG_EVENT:
        if (event.u.LoadDll.hFile) CloseHandle(event.u.LoadDll.hFile);
        break;
      case OUTPUT_DEBUG_STRING_EVENT: {
        const OUTPUT_DEBUG_STRING_INFO& info = event.u.DebugString;
        const size_t unit = info.fUnicode ? 2 : 1;
        std::vector<char> bytes(info.nDebugStringLength * unit);
        ReadProcessMemory(process.hProcess, info.lpDebugStringData, bytes.data(), bytes.size(),
                          nullptr);
        std::string text;
        for (size_t i = 0; i < bytes.size() && bytes[i] != '\0'; i += unit) text += bytes[i];
        run.debugger.push_back(text);
        break;
      }
      case EXCEPTION_DEBUG_EVENT:
        if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
          status = DBG_EXCEPTION_NOT_HANDLED;
        }
        break;
      case EXIT_PROCESS_DEBUG_EVENT:
        done = true;
        break;
      default:
        break;
    }
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
  }
  WaitForSingleObject(process.hProcess, 60000);
  GetExitCodeProcess(process.hProcess, &run.exitCode);
  drain.join();
  return run;
}

// This process's environment with `name` set to `value`, or removed when
// `value` is null, as a CreateProcessW block.
std::vector<wchar_t> EnvironmentWith(const std::wstring& name, const wchar_t* value) {
  std::vector<wchar_t> block;
  wchar_t* current = GetEnvironmentStringsW();
  for (const wchar_t* entry = current; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
    const std::wstring text = entry;
    if (_wcsnicmp(text.c_str(), (name + L"=").c_str(), name.size() + 1) == 0) continue;
    block.insert(block.end(), text.begin(), text.end() + 1);
  }
  FreeEnvironmentStringsW(current);
  if (value != nullptr) {
    const std::wstring entry = name + L"=" + value;
    block.insert(block.end(), entry.begin(), entry.end() + 1);
  }
  block.push_back(L'\0');
  return block;
}

// A Windows path for a path the build gives in Unix form (Wine maps Z: to /).
std::wstring WindowsPath(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  if (!path.empty() && path.front() == '\\') path = "Z:" + path;
  return std::wstring(path.begin(), path.end());
}

fs::path HelperFolder() {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  return fs::path(self).parent_path();
}

bool Contains(const std::vector<std::string>& texts, const std::regex& pattern) {
  return std::any_of(texts.begin(), texts.end(),
                     [&](const std::string& t) { return std::regex_match(t, pattern); });
}

class DiagLogStartup : public ::testing::Test {
 protected:
  void SetUp() override { SwitchGuard::Set(SwitchGuard::State::NoKey); }

  ChildRun RunHelper(const wchar_t* helper, const std::wstring& arguments,
                     const std::vector<wchar_t>& environment) {
    const std::wstring program = (HelperFolder() / helper).wstring();
    return RunChild(L"\"" + program + L"\" " + arguments, environment);
  }
  // Loads Pelorus.dll in a fresh process with this test's profile folder.
  ChildRun Load(const std::wstring& arguments = L"") {
    return RunHelper(L"diag_log_loader.exe",
                     L"\"" + WindowsPath(PELORUS_DLL_PATH) + L"\" " + arguments, m_environment);
  }
  ChildRun Write(const std::wstring& arguments = L"") {
    return RunHelper(L"diag_log_writer.exe", arguments, m_environment);
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

  SwitchGuard m_guard;
  ScratchFolder m_profile;
  fs::path m_folder = m_profile.path() / L"QUON" / L"CORVANE KIOSK Diagnosis" / L"Pelorus";
  std::vector<wchar_t> m_environment =
      EnvironmentWith(L"ALLUSERSPROFILE", m_profile.path().c_str());
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
    const ChildRun run = Load(checkFiles);
    // 4: the log file was left open after unloading; 5: it was not shared.
    ASSERT_EQ(run.exitCode, 0u) << run.output;
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

TEST_F(DiagLogStartup, IndexContentPicksTheSlot) {
  struct Case {
    const char* index;  // nullptr: no index file
    int slot;
  };
  const Case cases[] = {{"12", 5}, {"0", 1}, {"abc", 1}, {"", 1}, {"7", 1}, {nullptr, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.index != nullptr ? c.index : "(none)");
    ClearFolder();
    if (c.index != nullptr) WriteAll(m_folder / "diag_log_loader.idx", c.index);
    ASSERT_EQ(Load().exitCode, 0u);
    const std::vector<std::string> logs = LogFiles();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_TRUE(std::regex_match(logs[0], SlotFile("diag_log_loader", c.slot))) << logs[0];
    EXPECT_EQ(ReadAll(m_folder / "diag_log_loader.idx"), std::to_string(c.slot));
  }
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

  const ChildRun run = Load();
  ASSERT_EQ(run.exitCode, 0u);
  EXPECT_NE(run.output.find("no delete file " + earlier), std::string::npos) << run.output;
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
    const ChildRun run = Write();
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

TEST_F(DiagLogStartup, RegistrySwitch) {
  struct Case {
    SwitchGuard::State state;
    DWORD value;
    const char* startupNote;  // on the debugger, from the start-up in mode 1
    bool lineInFile;
  };
  const Case cases[] = {
      {SwitchGuard::State::NoKey, 0, nullptr, true},
      {SwitchGuard::State::Value, 0, "dwUiResult=0", false},
      {SwitchGuard::State::Value, 1, "dwUiResult=1", true},
      {SwitchGuard::State::KeyWithoutValue, 0, "RegQueryValueEx error ", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << static_cast<int>(c.state) << " " << c.value);
    ClearFolder();
    SwitchGuard::Set(c.state, c.value);
    const ChildRun run = Write();
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
    const ChildRun run = c.loader ? Load(c.arguments) : Write(c.arguments);
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
  m_environment = EnvironmentWith(L"ALLUSERSPROFILE", blocker.c_str());
  const ChildRun run = Load();
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_NE(run.output.find("file fail generate idx"), std::string::npos) << run.output;
}

TEST_F(DiagLogStartup, IndexThatCannotBeWrittenLeavesTheLogUnrotated) {
  ClearFolder();
  fs::create_directories(m_folder / "diag_log_loader.idx");
  const ChildRun run = Load();
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_NE(run.output.find("file fail generate idx"), std::string::npos) << run.output;
  EXPECT_EQ(LogFiles(), std::vector<std::string>{"diag_log_loader.log"});
}

TEST_F(DiagLogStartup, NoProfileFolderWritesTheFallbackLine) {
  wchar_t windows[MAX_PATH];
  GetWindowsDirectoryW(windows, MAX_PATH);
  const fs::path fallback = fs::path(windows) / "diag_log_loader.log";
  m_environment = EnvironmentWith(L"ALLUSERSPROFILE", nullptr);
  const ChildRun run = Load();
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
