// Handles and memory of a host process over many requests (Win32-only; run by
// hand):
//
//   scripts/wine-run.sh build/windows/bench/windows/request_leak_bench.exe [requests [text]]
//
// For each read-only command of kCommands (those whose request line holds
// `text`, when given), one `orbhost shell` process with
// Pelorus.dll answers a warm-up round, then two rounds of `requests` more
// (default 2000); the host's handle count and its committed memory are read
// after each round. A command that leaks shows as growth in both rounds; a
// flat row is the expected figure. The database self-test's files (in
// C:\Users\Public\Libraries and the upload folder, a scratch folder here)
// are removed afterwards. Wine answers 0 for GetProcessHandleCount and
// for PrivateUsage, so handles are counted in the system handle table
// (NtQuerySystemInformation, the host's entries) and memory is PagefileUsage.
#include "support/win32.h"
#include "support/win32_handles.h"

#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "process_usage.h"

namespace {

// The read-only commands, one request line each, with the share of the
// requests each gets: a command that loads a back end, checks a signature
// or calls the firmware bridge costs tens of milliseconds, so it runs a
// twentieth or a fortieth of the requests. The SDK dump ("dllType" 1) and
// SendTest wait a second per request by design and stay out.
struct Command {
  const char* request;
  int divisor;
};
const Command kCommands[] = {
    {R"({"Cmd": "GetName"})", 1},
    {R"({"Cmd": "QueryInformation"})", 1},
    {R"({"Cmd": "NoSuchCommand"})", 1},
    {R"({"Cmd": "CheckCKServiceRestart"})", 1},
    {R"({"Cmd": "CheckSystemResume"})", 1},
    {R"({"Cmd": "CheckFrameworkReady"})", 1},
    {R"({"Cmd": "GetFeatures"})", 1},
    {R"({"Cmd": "GetType40Info"})", 1},
    {R"({"Cmd": "GetHTMLSupport"})", 1},
    {R"({"Cmd": "CheckDebugMode"})", 1},
    {R"({"Cmd": "GetCpuVendor"})", 1},
    {R"({"Cmd": "GetActivePowerPlan"})", 1},
    {R"({"Cmd": "GetConfigUWPVersion"})", 1},
    {R"({"Cmd": "GetUWPVersionByAppService"})", 1},
    {R"({"Cmd": "TestSQDBServer"})", 1},
    {R"({"Cmd": "GetTesseraPluginInfo", "MBInfo": {"command": "leak"}})", 20},
    {R"({"Cmd": "DoAiControl", "subCommand": "GetItem", "itemType": 1})", 20},
    {R"({"Cmd": "GetOPLandingPageInfo", "dllType": 0, "dataType": "All"})", 20},
    {R"({"Cmd": "GetOPLandingPageInfo", "dllType": 2})", 20},
    {R"({"Cmd": "GetOPLandingPageInfo", "dllType": 3})", 20},
    {R"({"Cmd": "GetOPLandingPageInfo", "dllType": 4})", 20},
    {R"({"Cmd": "GetCpuFlag"})", 40},
    {R"({"Cmd": "GetPowerSavingInfo"})", 40},
    {R"({"Cmd": "GetPPTLimit"})", 40},
    {R"({"Cmd": "GetBiosPPTFlag"})", 40},
};

constexpr int kWarmUp = 200;

using bench::HandleCount;
using bench::PagefileUsage;

// One orbhost shell: requests go in line by line, answers are counted.
class Shell {
 public:
  explicit Shell(const std::wstring& commandLine) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE inRead = nullptr, outWrite = nullptr, in = nullptr, out = nullptr;
    CreatePipe(&inRead, &in, &inherit, 0);
    CreatePipe(&out, &outWrite, &inherit, 0);
    m_in.reset(in);
    m_out.reset(out);
    SetHandleInformation(in, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(out, HANDLE_FLAG_INHERIT, 0);
    const unique_handle childIn(inRead), childOut(outWrite);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    std::wstring line = commandLine;
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                       nullptr, &startup, &info)) {
      m_process.reset(info.hProcess);
      CloseHandle(info.hThread);
      m_id = info.dwProcessId;
    }
  }
  ~Shell() {
    m_in.reset();  // end of input ends the shell
    if (m_process) WaitForSingleObject(m_process.get(), 30000);
  }
  bool valid() const { return static_cast<bool>(m_process); }
  DWORD id() const { return m_id; }
  HANDLE process() const { return m_process.get(); }

  // Sends `count` requests and waits for their answers (lines with a
  // "status" that are not events).
  bool Round(const char* request, int count) {
    std::thread writer([&] {
      const std::string line = std::string(request) + "\n";
      DWORD written = 0;
      for (int i = 0; i < count; ++i)
        WriteFile(m_in.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    });
    int answers = 0;
    char chunk[4096];
    DWORD got = 0;
    while (answers < count && ReadFile(m_out.get(), chunk, sizeof chunk, &got, nullptr) &&
           got > 0) {
      m_pending.append(chunk, got);
      for (size_t end; (end = m_pending.find('\n')) != std::string::npos;) {
        const std::string answer = m_pending.substr(0, end);
        m_pending.erase(0, end + 1);
        answers += answer.find("\"status\"") != std::string::npos &&
                   answer.find("\"event\"") == std::string::npos;
      }
    }
    writer.join();
    return answers == count;
  }

 private:
  unique_handle m_in, m_out, m_process;
  DWORD m_id = 0;
  std::string m_pending;
};

// The files of a folder (none when it is missing).
std::set<std::filesystem::path> FilesIn(const std::filesystem::path& folder) {
  std::set<std::filesystem::path> files;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    files.insert(it->path());
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  const int requests = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
  const char* only = argc > 2 ? argv[2] : "";
  const std::filesystem::path libraries = L"C:\\Users\\Public\\Libraries";
  const std::set<std::filesystem::path> librariesBefore = FilesIn(libraries);
  const std::filesystem::path uploads =
      std::filesystem::temp_directory_path() /
      (L"request_leak_bench-" + std::to_wstring(GetCurrentProcessId()));
  const std::wstring commandLine =
      L"\"" PELORUS_BENCH_ORBHOST L"\" shell --dll \"" PELORUS_BENCH_PELORUS L"\" --upload-dir \"" +
      uploads.wstring() + L"\"";
  struct Cleanup {
    const std::filesystem::path& libraries;
    const std::set<std::filesystem::path>& before;
    const std::filesystem::path& uploads;
    ~Cleanup() {
      std::error_code ec;
      for (const auto& file : FilesIn(libraries))
        if (!before.count(file)) std::filesystem::remove(file, ec);
      std::filesystem::remove_all(uploads, ec);
    }
  } cleanup{libraries, librariesBefore, uploads};
  std::printf("%-68s %6s %17s %26s\n", "request", "round", "handles", "pagefile KB");
  int leaking = 0;
  for (const auto& [request, divisor] : kCommands) {
    if (std::strstr(request, only) == nullptr) continue;
    const int count = std::max(1, requests / divisor);
    Shell shell(commandLine);
    if (!shell.valid() || !shell.Round(request, std::max(1, kWarmUp / divisor))) {
      std::fprintf(stderr, "orbhost shell did not answer %s\n", request);
      return 1;
    }
    // Counts after the warm-up and after each of two measured rounds. The
    // heap commits memory in steps of about a megabyte, so one round can show
    // a step without any leak; a leak grows in both rounds.
    size_t handles[3], memory[3];
    for (int i = 0; i < 3; ++i) {
      if (i > 0 && !shell.Round(request, count)) {
        std::fprintf(stderr, "orbhost shell stopped answering %s\n", request);
        return 1;
      }
      handles[i] = HandleCount(shell.id());
      memory[i] = PagefileUsage(shell.process()) / 1024;
    }
    std::printf("%-68s %6d %5zu %5zu %5zu %8zu %8zu %8zu\n", request, count, handles[0], handles[1],
                handles[2], memory[0], memory[1], memory[2]);
    std::fflush(stdout);
    // A leak of a handle or of a buffer per request grows each round; below
    // a page per hundred requests (plus the heap's step) is noise.
    const size_t noiseKb = 4 * static_cast<size_t>(count / 100) + 1100;
    bool grows = true;
    for (int i = 1; i < 3; ++i)
      grows &= handles[i] > handles[i - 1] + 2 || memory[i] > memory[i - 1] + noiseKb;
    leaking += grows;
  }
  std::printf(leaking == 0 ? "flat\n" : "%d request kinds grow\n", leaking);
  return leaking == 0 ? 0 : 2;
}
