// The diagnostic log's writers in-process, on a log object that writes to a
// scratch file: destinations by mode, switch and file, line formats, both
// forms of the system-error suffix, the length limits, and applying a new
// switch value. (The switch in the registry is read by the start-up tests,
// which also write the fallback file; the line layouts at every message
// length are tested natively.)
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../common/windows_test_support.h"
#include "support/diag_log.h"
#include "support/platform_seams.h"

namespace {

using namespace wintest;

// A code the system has no text for (customer bit set): the short suffix.
constexpr DWORD kCodeWithoutText = 0x20001234;
const std::string kShortSuffix = " [SYSTEM_ERROR:536875572] ";
const char kStamp[] = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)";

std::vector<std::string> g_debugA;
std::vector<std::wstring> g_debugW;
void WINAPI CaptureA(LPCSTR text) {
  g_debugA.emplace_back(text);
}
void WINAPI CaptureW(LPCWSTR text) {
  g_debugW.emplace_back(text);
}

// The text with its time stamps replaced by "<stamp>".
std::string Unstamped(const std::string& text) {
  return std::regex_replace(text, std::regex(kStamp), "<stamp>");
}

// The system's text for a code, as FormatMessageW gives it.
std::string SystemText(DWORD code) {
  char* text = nullptr;
  FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0,
      nullptr);
  const unique_hlocal owner(text);
  return text != nullptr ? text : "";
}

class DiagLogWriters : public ::testing::Test {
 protected:
  void SetUp() override { Reopen(true); }

  // Starts the file afresh (or leaves the log without one) in mode 2, switch
  // on, and forgets the debugger output so far.
  void Reopen(bool withFile) {
    g_debugA.clear();
    g_debugW.clear();
    m_log.hFile.reset();
    if (withFile) {
      m_log.hFile.reset(CreateFileW(m_path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
      ASSERT_TRUE(m_log.hFile);
    }
    m_log.m_nMode = 2;
    m_log.m_EnableLog = 1;
  }
  std::string File() const { return ReadAll(m_path); }

  ScratchFolder m_folder;
  std::filesystem::path m_path = m_folder.path() / L"writers.log";
  DiagLog m_log;
  ScopedSeam<void(WINAPI*)(LPCSTR)> m_captureA{&PlatformSeams::outputDebugStringA, &CaptureA};
  ScopedSeam<void(WINAPI*)(LPCWSTR)> m_captureW{&PlatformSeams::outputDebugString, &CaptureW};
};

TEST_F(DiagLogWriters, DestinationsFollowModeSwitchAndFile) {
  struct Case {
    int32_t mode;
    uint32_t enableLog;
    bool withFile;
    bool toDebugger;
    bool toFile;
  };
  const Case cases[] = {
      {0, 1, true, false, false}, {1, 0, false, true, false},  {2, 1, true, false, true},
      {2, 0, true, false, false}, {2, 1, false, false, false}, {3, 1, true, true, true},
      {3, 0, true, true, false},  {3, 1, false, false, false}, {4, 1, true, false, false},
  };
  const std::string notFound = SystemText(ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(notFound.substr(notFound.size() - 2), "\r\n");  // so the removal is exercised
  const std::string errorLine =
      "error 3 [SYSTEM_ERROR:2," + notFound.substr(0, notFound.size() - 2) + "]\r\n";
  using Lines = std::vector<std::string>;
  using WideLines = std::vector<std::wstring>;

  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "mode " << c.mode << " switch " << c.enableLog
                                      << (c.withFile ? " with file" : " without file"));
    Reopen(c.withFile);
    m_log.m_nMode = c.mode;
    m_log.m_EnableLog = c.enableLog;

    dump_output_time(&m_log, "time %d", 1);
    dump_output(&m_log, "plain %s", "x");
    SetLastError(ERROR_FILE_NOT_FOUND);
    dump_errorcode(&m_log, "error %d", 3);

    Lines narrow;
    for (const std::string& line : g_debugA) narrow.push_back(Unstamped(line));
    EXPECT_EQ(narrow, (c.toDebugger ? Lines{"<stamp> time 1\r\n", "plain x\r\n"} : Lines{}));
    EXPECT_EQ(g_debugW, c.toDebugger ? WideLines{std::wstring(errorLine.begin(), errorLine.end())}
                                     : WideLines{});
    EXPECT_EQ(Unstamped(c.withFile ? File() : ""),
              c.toFile ? "<stamp>  time 1\r\nplain x\r\n" + errorLine : "");
  }
}

// The limits by message length: 2047 formatted bytes are refused (2046 pass,
// tested natively with the line layouts); an error line needs message,
// suffix and CR LF below 1024 characters.
TEST_F(DiagLogWriters, LengthLimits) {
  struct Case {
    int writer;  // 0 stamped, 1 plain, 2 error
    size_t length;
    const char* debugNote;  // nullptr: the line is written
  };
  const size_t room = 1024 - kShortSuffix.size();
  const Case cases[] = {
      {0, 2047, "error argument is too big"},  // the one check every writer makes
      {2, room - 3, nullptr},
      {2, room - 2, "dump_errorcode buffer is too small"},
      {2, room, "dump_output_msg buffer is too small "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "writer " << c.writer << " length " << c.length);
    Reopen(true);
    const std::string message(c.length, 'm');
    if (c.writer == 0) dump_output_time(&m_log, "%s", message.c_str());
    if (c.writer == 1) dump_output(&m_log, "%s", message.c_str());
    SetLastError(kCodeWithoutText);
    if (c.writer == 2) dump_errorcode(&m_log, "%s", message.c_str());

    const std::string content = File();
    if (c.debugNote == nullptr) {
      EXPECT_EQ(content, message + kShortSuffix + "\r\n");
    } else {
      EXPECT_EQ(content, "");
      const std::string note = c.debugNote;
      const bool seen =
          (!g_debugA.empty() && g_debugA.back() == note) ||
          (!g_debugW.empty() && g_debugW.back() == std::wstring(note.begin(), note.end()));
      EXPECT_TRUE(seen);
    }
  }
}

// The switch's new value applied to the process's log (the modes it sets:
// pelorus_test.cpp, ConnectionChangeReReadsTheLogSwitch).
TEST_F(DiagLogWriters, SetLogSwitchLogsThenSetsTheMode) {
  SLog.hFile = std::move(m_log.hFile);
  SLog.m_nMode = 2;
  SLog.m_EnableLog = 1;
  SetLogSwitch(0xFFFFFFFF);
  SetLogSwitch(0);  // switch off first, so this line is not written
  SetLogSwitch(3);  // written while the mode is still 0
  SLog.hFile.reset();
  SLog.m_nMode = 0;
  SLog.m_EnableLog = 0;
  EXPECT_EQ(Unstamped(File()), "<stamp>  m_EnableLog = -1 \r\n");
}

// Writers take no lock: lines of concurrent threads must still arrive whole.
TEST_F(DiagLogWriters, ConcurrentLinesStayWhole) {
  constexpr int kThreads = 4, kLines = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kLines; ++i) {
        const std::string pad(static_cast<size_t>(i % 97), 'p');
        if (i % 2) dump_output_time(&m_log, "t%d n%d %s", t, i, pad.c_str());
        SetLastError(kCodeWithoutText);
        if (i % 2 == 0) dump_errorcode(&m_log, "t%d n%d %s", t, i, pad.c_str());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  const std::regex line(std::string("(?:") + kStamp + "  )?t(\\d+) n(\\d+) (p*)(" +
                        std::regex_replace(kShortSuffix, std::regex(R"([\[\]])"), R"(\$&)") + ")?");
  std::set<std::pair<int, int>> seen;
  std::istringstream lines(File());
  for (std::string text; std::getline(lines, text, '\n');) {
    std::smatch m;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    ASSERT_TRUE(std::regex_match(text, m, line)) << text;
    EXPECT_EQ(m[3].length(), std::stoi(m[2]) % 97) << text;
    EXPECT_TRUE(seen.emplace(std::stoi(m[1]), std::stoi(m[2])).second) << text;
  }
  EXPECT_EQ(seen.size(), size_t{kThreads} * kLines);
}

}  // namespace
